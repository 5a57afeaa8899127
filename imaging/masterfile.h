#pragma once

#include <QByteArray>
#include <QString>

#include "outputchoices.h"

#include <opencv2/core.hpp>

#include <vector>

// The master: the full-size result with alpha, as the program writes and reads it back.
namespace masterfile {

// Colour and alpha, 8 bits each, of a master's bytes: the program's own read on `threads`
// threads, anything else as every file from outside. False when it cannot be read or has
// no alpha.
bool read(const QByteArray &bytes, cv::Mat &colour, cv::Mat &alpha, int threads = 0);
bool read(const QString &path, cv::Mat &colour, cv::Mat &alpha, int threads = 0);

// What a PNG master says of how it was made, in text chunks right after its header: its
// edges, whether it keeps the photo's pixels under alpha 0, and the size of the cut-out its
// alpha was scaled from (empty: not known, for a master made before it was written). A
// master made before the hidden background was cleared is not told from one cleared: it is
// left as it is until it is made again.
struct Marks
{
    OutputChoices::Edges edges = OutputChoices::Edges::Source;
    bool hiddenKept = false;
    cv::Size cutout;
};
// The chunks for `marks`; none for the photo's own edges, the hidden background cleared and
// no cut-out size.
std::vector<unsigned char> marksChunks(const Marks &marks);
// A master's first bytes, at least `marksHeadBytes` of them when it has as many.
Marks marksOf(const QByteArray &masterHead);
constexpr int marksHeadBytes = 256;
// Cleaned or refined edges; and the chunk of cleaned edges alone.
bool hasCleanEdges(const QByteArray &masterHead);
std::vector<unsigned char> cleanEdgesChunk();

// The chunk a master touched up by hand carries, and whether the master at `path` carries it
// among the chunks before its pixels. A batch never sends such a photo again, nor writes
// over its master.
std::vector<unsigned char> editedChunk();
bool isEdited(const QString &path);
// The same, of a master's bytes already read.
bool isEdited(const QByteArray &master);

} // namespace masterfile
