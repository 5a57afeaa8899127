#pragma once

#include <opencv2/core.hpp>

#include <cstddef>

// Reads back the program's own masters, as pngwriter::write() makes them, on several threads.
namespace pngreader {

// With its stripes inflated on `threads` threads (0: one per core): 8-bit RGBA, one
// independent zlib run of whole rows in each IDAT but the last, which holds the checksum.
// False for any other PNG, or one whose pixel data is damaged (its CRCs, its layout, its
// checksum), which the caller then decodes as any other image.
bool read(const unsigned char *data, std::size_t size, cv::Mat &colour, cv::Mat &alpha, int threads = 0);

} // namespace pngreader
