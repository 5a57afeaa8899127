// The row-by-row JPEG reader, against OpenCV's decoding of the same bytes: when it says the
// photo decoded whole, its pixels are OpenCV's.
#include "imageformat.h"
#include "jpegrows.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    JpegRows rows;
    if (!rows.start(data, size))
        return 0;
    const cv::Size size2d = rows.size();
    // In 64 bits: a header may claim far more than an int holds.
    if (size2d.width <= 0 || size2d.height <= 0 || std::uint64_t(size2d.width) * std::uint64_t(size2d.height) > 4'000'000)
        return 0;
    cv::Mat colour(size2d, CV_8UC3);
    int last = 0;
    const bool whole = rows.decode(colour, [&](int done) {
        if (done < last || done > size2d.height)
            std::abort();
        last = done;
    });
    if (!whole)
        return 0;
    // The compositor takes the rows only where the header reader finds the same size.
    const imageformat::Header header = imageformat::probe(data, size);
    if (cv::Size(header.width, header.height) != size2d)
        return 0;
    const cv::Mat decoded = imageformat::decode(data, size, cv::IMREAD_COLOR);
    if (decoded.size() != colour.size() || cv::norm(decoded, colour, cv::NORM_INF) != 0) {
        std::fprintf(stderr, "rows %dx%d, OpenCV %dx%d, largest difference %g\n", colour.cols, colour.rows, decoded.cols,
                     decoded.rows, decoded.size() == colour.size() ? cv::norm(decoded, colour, cv::NORM_INF) : -1.0);
        std::abort();
    }
    return 0;
}
