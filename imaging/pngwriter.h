#pragma once

#include <opencv2/core.hpp>

#include <functional>
#include <vector>

class QIODevice;

// Writes an 8-bit RGBA PNG from a colour image and a separate alpha plane, compressing row
// stripes on several threads. Each stripe is its own zlib run ending in a sync flush, and
// the runs join into one standard zlib stream, spread over one IDAT chunk per stripe.
namespace pngwriter {

struct Options
{
    int threads = 0;       // 0: one per core
    int rowsPerStripe = 0; // 0: about 1 MiB of pixels per stripe
    // Slower, stronger compression: for a user who keeps thousands of results.
    bool small = false;
    // A pixel of alpha 0 is written black, whatever its colour.
    bool clearHidden = false;
    // Whole chunks (length, type, data, CRC) to put between IHDR and the pixels.
    std::vector<unsigned char> chunks;
    // For colour still being decoded on another thread: called before a stripe reads its
    // rows, it returns once the first `rows` rows are in place, or false when they never
    // will be (the write then fails). Empty: every row is there.
    std::function<bool(int rows)> rowsReady;
    // Called with each row's RGBA bytes as they are written (the hidden background cleared),
    // once a row, from the compressing threads, in any order.
    std::function<void(int row, const unsigned char *rgba)> rowWritten;
    // Whole chunks to put after the pixels, asked for once every row is written.
    std::function<std::vector<unsigned char>()> tail;
};

// A whole chunk: length, type, data, and the CRC of type and data.
std::vector<unsigned char> chunk(const char *type, const unsigned char *data, std::size_t size);

// `colour` is 8-bit BGR, `alpha` 8-bit single-channel of the same size. The colours are
// written as they are, also under alpha 0 unless `clearHidden`. Returns false when the device refuses a write.
bool write(QIODevice &out, const cv::Mat &colour, const cv::Mat &alpha, const Options &options = {});

} // namespace pngwriter
