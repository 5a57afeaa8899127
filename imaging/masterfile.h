#pragma once

#include <QByteArray>
#include <QString>

#include <opencv2/core.hpp>

#include <vector>

// The master: the full-size result with alpha, as the program writes and reads it back.
namespace masterfile {

// Colour and alpha, 8 bits each, of a master's bytes: the program's own read on `threads`
// threads, anything else as every file from outside. False when it cannot be read or has
// no alpha.
bool read(const QByteArray &bytes, cv::Mat &colour, cv::Mat &alpha, int threads = 0);
bool read(const QString &path, cv::Mat &colour, cv::Mat &alpha, int threads = 0);

// The chunk a master with cleaned edges carries right after its header, and whether a
// master's first bytes hold it.
std::vector<unsigned char> cleanEdgesChunk();
bool hasCleanEdges(const QByteArray &masterHead);

// The chunk a master touched up by hand carries, and whether the master at `path` carries it
// among the chunks before its pixels. A batch never sends such a photo again, nor writes
// over its master.
std::vector<unsigned char> editedChunk();
bool isEdited(const QString &path);

} // namespace masterfile
