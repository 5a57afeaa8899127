#include "tilepicture.h"

#include "imageformat.h"
#include "pngwriter.h"

#include <QBuffer>
#include <QFile>

#include <opencv2/imgcodecs.hpp>

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tilepicture {

namespace {

// Ancillary, private, and not safe to copy: an editor that changes the pixels drops it.
const char chunkType[] = "quTH";
constexpr std::size_t countBytes = 8;
constexpr qint64 mostMasterBytes = qint64(1) << 30; // as the master reader takes
constexpr int keptAbove = 10, opaqueFrom = 245; // as the review's marks count them

std::uint32_t u32(const unsigned char *at)
{
    return std::uint32_t(at[0]) << 24 | std::uint32_t(at[1]) << 16 | std::uint32_t(at[2]) << 8 | at[3];
}

void putU32(unsigned char *at, std::uint64_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

cv::Size pictureSize(cv::Size image)
{
    const double scale = std::min(1.0, double(side) / std::max(image.width, image.height));
    return {std::max(1, int(std::lround(image.width * scale))), std::max(1, int(std::lround(image.height * scale)))};
}

} // namespace

Maker::Maker(cv::Size image)
    : image(image)
    , picture(pictureSize(image))
    , step(std::max(1, std::min(image.width / picture.width, image.height / picture.height) / 4))
    , sums(std::size_t(picture.area()) * 5, 0)
    , rowLocks(new std::mutex[std::size_t(picture.height)])
{
    for (int x = 0; x < image.width; x += step)
        columnOf.push_back(int(std::int64_t(x) * picture.width / image.width));
}

void Maker::addRow(int y, const unsigned char *rgba)
{
    std::uint64_t above = 0, below = 0;
    for (int x = 0; x < image.width; ++x) {
        above += rgba[4 * x + 3] > keptAbove;
        below += rgba[4 * x + 3] < opaqueFrom;
    }
    kept += above;
    belowOpaque += below;
    if (y % step)
        return;
    // Sums of premultiplied colour, so that colours under alpha 0 do not tint the edge.
    const int row = int(std::int64_t(y) * picture.height / image.height);
    const std::lock_guard<std::mutex> lock(rowLocks[std::size_t(row)]);
    std::uint64_t *sum = &sums[std::size_t(row) * std::size_t(picture.width) * 5];
    for (std::size_t i = 0; i < columnOf.size(); ++i) {
        const unsigned char *pixel = rgba + 4 * i * std::size_t(step);
        std::uint64_t *at = sum + std::size_t(columnOf[i]) * 5;
        const unsigned a = pixel[3];
        at[0] += pixel[0] * a;
        at[1] += pixel[1] * a;
        at[2] += pixel[2] * a;
        at[3] += a;
        at[4] += 1;
    }
}

std::vector<unsigned char> Maker::chunk() const
{
    cv::Mat colour(picture, CV_8UC3), alpha(picture, CV_8UC1);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const std::uint64_t *at = &sums[(std::size_t(y) * std::size_t(picture.width) + std::size_t(x)) * 5];
            const double samples = double(std::max<std::uint64_t>(1, at[4])), opacity = double(at[3]);
            alpha.at<uchar>(y, x) = cv::saturate_cast<uchar>(opacity / samples);
            for (int c = 0; c < 3; ++c) // stored RGB, made BGR
                colour.at<cv::Vec3b>(y, x)[2 - c] = opacity > 0 ? cv::saturate_cast<uchar>(double(at[c]) / opacity) : uchar(0);
        }
    QBuffer png;
    png.open(QIODevice::WriteOnly);
    pngwriter::Options options;
    options.threads = 1;
    if (!pngwriter::write(png, colour, alpha, options))
        return {};
    std::vector<unsigned char> data(countBytes);
    putU32(data.data(), kept.load());
    putU32(data.data() + 4, belowOpaque.load());
    data.insert(data.end(), png.data().begin(), png.data().end());
    return pngwriter::chunk(chunkType, data.data(), data.size());
}

bool read(const QString &path, Picture &picture)
{
    // Every chunk is walked and its CRC checked, so that a master damaged anywhere is told as
    // a whole decode would tell it (about 10 ms for 12 megapixels, against 220 for the decode).
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() <= mostMasterBytes && read(file.readAll(), picture);
}

bool read(const QByteArray &bytes, Picture &picture)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    const std::size_t size = std::size_t(bytes.size());
    if (imageformat::sniff(data, size) != imageformat::Format::Png)
        return false;
    const imageformat::Header header = imageformat::probe(data, std::min<std::size_t>(size, 33));
    if (!header.acceptable())
        return false;
    const unsigned char *found = nullptr;
    std::size_t foundLength = 0;
    bool ended = false;
    for (std::size_t at = 8; !ended;) {
        if (size - at < 12)
            return false;
        const std::size_t length = u32(data + at);
        if (length > size - at - 12 || crc32(0, data + at + 4, uInt(4 + length)) != u32(data + at + 8 + length))
            return false;
        ended = std::memcmp(data + at + 4, "IEND", 4) == 0;
        if (std::memcmp(data + at + 4, chunkType, 4) == 0) {
            found = data + at + 8;
            foundLength = length;
        }
        at += 12 + length;
        if (ended && at != size)
            return false; // something after the end
    }
    if (!found || foundLength < countBytes)
        return false;
    const unsigned char *png = found + countBytes;
    const std::size_t pngBytes = foundLength - countBytes;
    const cv::Size master(header.width, header.height);
    if (imageformat::sniff(png, pngBytes) != imageformat::Format::Png)
        return false;
    const imageformat::Header small = imageformat::probe(png, pngBytes);
    if (cv::Size(small.width, small.height) != pictureSize(master))
        return false;
    const cv::Mat decoded = imageformat::decode(png, pngBytes, cv::IMREAD_UNCHANGED);
    if (decoded.type() != CV_8UC4 || decoded.size() != pictureSize(master))
        return false;
    picture.kept = u32(found);
    picture.belowOpaque = u32(found + 4);
    if (picture.kept > std::uint64_t(master.area()) || picture.belowOpaque > std::uint64_t(master.area()))
        return false;
    cv::Mat planes[4];
    cv::split(decoded, planes);
    cv::merge(planes, 3, picture.colour);
    picture.alpha = planes[3];
    picture.master = master;
    return true;
}

} // namespace tilepicture
