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
constexpr std::size_t mostChunkBytes = 1 << 20;
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    // The signature and header first; then the end: this chunk, then IEND's 12 bytes.
    const QByteArray head = file.read(33);
    const auto *headData = reinterpret_cast<const unsigned char *>(head.constData());
    const imageformat::Header header = imageformat::probe(headData, std::size_t(head.size()));
    if (header.format != imageformat::Format::Png || !header.acceptable() || size < 33 + 12 + 12)
        return false;
    const qint64 tailBytes = std::min<qint64>(size - 33, qint64(mostChunkBytes + 12 + 12));
    if (!file.seek(size - tailBytes))
        return false;
    const QByteArray tail = file.read(tailBytes);
    if (tail.size() != tailBytes)
        return false;
    const auto *data = reinterpret_cast<const unsigned char *>(tail.constData());
    const std::size_t end = std::size_t(tail.size()) - 12;
    static const unsigned char iend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
    if (std::memcmp(data + end, iend, sizeof iend) != 0)
        return false;
    // The chunk whose length reaches exactly to IEND.
    std::size_t at = end;
    for (std::size_t type = end - 8; type >= 4; --type) {
        if (std::memcmp(data + type, chunkType, 4) == 0 && type + 4 + u32(data + type - 4) + 4 == end) {
            at = type - 4;
            break;
        }
    }
    if (at == end)
        return false;
    const std::size_t length = u32(data + at);
    if (length < countBytes || crc32(0, data + at + 4, uInt(4 + length)) != u32(data + at + 8 + length))
        return false;
    const unsigned char *body = data + at + 8;
    const imageformat::Header small = imageformat::probe(body + countBytes, length - countBytes);
    const cv::Size master(header.width, header.height);
    if (small.format != imageformat::Format::Png || cv::Size(small.width, small.height) != pictureSize(master))
        return false;
    const cv::Mat decoded = imageformat::decode(body + countBytes, length - countBytes, cv::IMREAD_UNCHANGED);
    if (decoded.type() != CV_8UC4 || decoded.size() != pictureSize(master))
        return false;
    picture.kept = u32(body);
    picture.belowOpaque = u32(body + 4);
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
