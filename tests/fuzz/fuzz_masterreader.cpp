// The reader of the program's own masters, against OpenCV's decoding of the same bytes: a
// file it takes must give exactly OpenCV's pixels, so a wrong unfilter is caught. And the
// reader of the small picture a master carries, which must hold together with its header.
#include "imageformat.h"
#include "pngreader.h"
#include "tilepicture.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    tilepicture::Picture picture;
    if (tilepicture::read(QByteArray(reinterpret_cast<const char *>(data), int(size)), picture)
        && (picture.colour.type() != CV_8UC3 || picture.alpha.size() != picture.colour.size()
            || std::max(picture.colour.cols, picture.colour.rows) > tilepicture::side
            || picture.kept > std::uint64_t(picture.master.area())))
        std::abort();
    const imageformat::Header header = imageformat::probe(data, size);
    if (!header.acceptable() || std::uint64_t(header.width) * std::uint64_t(header.height) > 4'000'000)
        return 0;
    cv::Mat colour, alpha;
    if (!pngreader::read(data, size, colour, alpha, 2))
        return 0;
    const cv::Mat decoded = imageformat::decode(data, size, cv::IMREAD_UNCHANGED);
    if (decoded.type() != CV_8UC4 || decoded.size() != colour.size() || alpha.size() != colour.size())
        std::abort();
    cv::Mat planes[4];
    cv::split(decoded, planes);
    cv::Mat bgr;
    cv::merge(planes, 3, bgr);
    if (cv::norm(bgr, colour, cv::NORM_INF) != 0 || cv::norm(planes[3], alpha, cv::NORM_INF) != 0)
        std::abort();
    return 0;
}
