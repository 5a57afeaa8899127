#pragma once

#include <QByteArray>
#include <QString>

#include <opencv2/core.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// A small picture of a master, with the counts the review's marks need, kept in a chunk after
// its pixels. Made from the rows as the writer compresses them, it costs a composite a few
// milliseconds; without it, a tile costs a whole decode of the master (a quarter of a second
// of one core for 12 megapixels).
namespace tilepicture {

// The picture's longer side, the review's tile's; a master no larger is its own picture.
constexpr int side = 192;
// Whether a master is large enough to carry one: a smaller one decodes whole in a few
// milliseconds, and its picture would be a good part of its file.
inline bool worthCarrying(cv::Size master) { return std::max(master.width, master.height) > 2 * side; }

// Builds the chunk from the master's RGBA rows, given once each, in any order, from any thread.
class Maker
{
public:
    explicit Maker(cv::Size image);
    void addRow(int y, const unsigned char *rgba);
    // Once every row is in.
    std::vector<unsigned char> chunk() const;

private:
    cv::Size image, picture;
    int step;                      // every step-th row and column is sampled
    std::vector<int> columnOf;     // the picture's column of each sampled column
    std::vector<std::uint64_t> sums; // per picture pixel: colour times alpha (3), alpha, samples
    std::unique_ptr<std::mutex[]> rowLocks;
    std::atomic<std::uint64_t> kept{0}, belowOpaque{0};
};

struct Picture
{
    cv::Mat colour, alpha; // BGR and alpha, at most `side` a side
    cv::Size master;       // the master's size, from its header
    std::uint64_t kept = 0, belowOpaque = 0; // pixels of alpha above 10, and below 245
};

// The picture a master at `path` carries; false when it carries none, when any of its chunks
// is damaged, or when the picture does not hold together with the master's header.
bool read(const QString &path, Picture &picture);
bool read(const QByteArray &bytes, Picture &picture);

} // namespace tilepicture
