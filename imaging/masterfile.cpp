#include "masterfile.h"

#include "imagefile.h"
#include "pngreader.h"
#include "pngwriter.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>

namespace masterfile {

bool read(const QByteArray &bytes, cv::Mat &colour, cv::Mat &alpha, int threads)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    if (bytes.isEmpty())
        return false;
    if (pngreader::read(data, std::size_t(bytes.size()), colour, alpha, threads))
        return true;
    const cv::Mat master = imagefile::decode(bytes, cv::IMREAD_UNCHANGED);
    if (master.empty() || master.channels() != 4 || master.depth() != CV_8U)
        return false;
    cv::Mat planes[4];
    cv::split(master, planes);
    cv::merge(planes, 3, colour);
    alpha = planes[3];
    return true;
}

bool read(const QString &path, cv::Mat &colour, cv::Mat &alpha, int threads)
{
    try {
        return read(imagefile::read(path), colour, alpha, threads);
    } catch (...) {
        return false;
    }
}

std::vector<unsigned char> cleanEdgesChunk()
{
    static const char text[] = "Quorrin\0edges=clean";
    return pngwriter::chunk("tEXt", reinterpret_cast<const unsigned char *>(text), sizeof text - 1);
}

bool hasCleanEdges(const QByteArray &masterHead)
{
    const std::vector<unsigned char> marker = cleanEdgesChunk();
    constexpr int afterHeader = 8 + 25; // signature, IHDR
    return masterHead.size() >= afterHeader + int(marker.size())
           && std::equal(marker.begin(), marker.end(), masterHead.constData() + afterHeader,
                         [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); });
}

} // namespace masterfile
