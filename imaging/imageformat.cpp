#include "imageformat.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstring>

namespace imageformat {

namespace {

// Bounds-checked reads: every offset comes from the file, so every read is checked.
struct Bytes
{
    const unsigned char *data;
    std::size_t size;

    bool has(std::size_t offset, std::size_t length) const
    {
        return offset <= size && length <= size - offset;
    }
    bool startsWith(std::size_t offset, const char *text) const
    {
        const std::size_t length = std::strlen(text);
        return has(offset, length) && std::memcmp(data + offset, text, length) == 0;
    }
    std::uint32_t u16(std::size_t at, bool bigEndian) const
    {
        return bigEndian ? (data[at] << 8 | data[at + 1]) : (data[at + 1] << 8 | data[at]);
    }
    std::uint32_t u32(std::size_t at, bool bigEndian) const
    {
        return bigEndian ? (u16(at, true) << 16 | u16(at + 2, true)) : (u16(at + 2, false) << 16 | u16(at, false));
    }
    std::uint64_t u64(std::size_t at, bool bigEndian) const
    {
        const std::uint64_t first = u32(at, bigEndian), second = u32(at + 4, bigEndian);
        return bigEndian ? (first << 32 | second) : (second << 32 | first);
    }
};

Header sized(Format format, std::uint64_t width, std::uint64_t height)
{
    Header header;
    header.format = format;
    // OpenCV refuses sides over 2^20 anyway; anything larger is no photo.
    if (width > 0 && height > 0 && width <= (1u << 20) && height <= (1u << 20)) {
        header.width = int(width);
        header.height = int(height);
    }
    return header;
}

// The first start-of-frame marker gives the size, as it does for libjpeg.
Header jpegHeader(const Bytes &bytes)
{
    std::size_t at = 2;
    while (bytes.has(at, 2)) {
        if (bytes.data[at] != 0xff) {
            ++at; // stray bytes between segments: the decoder skips them too
            continue;
        }
        const unsigned marker = bytes.data[at + 1];
        if (marker == 0xff) {
            ++at; // fill byte
            continue;
        }
        at += 2;
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7))
            continue; // no length
        if (marker == 0xd9 || marker == 0xda || !bytes.has(at, 2))
            break; // image data or its end before any frame header
        const std::size_t length = bytes.u16(at, true);
        const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (frame) {
            if (length < 8 || !bytes.has(at, 7))
                break;
            return sized(Format::Jpeg, bytes.u16(at + 5, true), bytes.u16(at + 3, true));
        }
        if (length < 2)
            break;
        at += length;
    }
    return sized(Format::Jpeg, 0, 0);
}

Header pngHeader(const Bytes &bytes)
{
    if (!bytes.startsWith(12, "IHDR") || !bytes.has(16, 8))
        return sized(Format::Png, 0, 0);
    return sized(Format::Png, bytes.u32(16, true), bytes.u32(20, true));
}

Header webpHeader(const Bytes &bytes)
{
    constexpr std::size_t data = 20;
    if (bytes.startsWith(12, "VP8 ") && bytes.has(data, 10) && bytes.data[data + 3] == 0x9d
        && bytes.data[data + 4] == 0x01 && bytes.data[data + 5] == 0x2a)
        return sized(Format::Webp, bytes.u16(data + 6, false) & 0x3fff, bytes.u16(data + 8, false) & 0x3fff);
    if (bytes.startsWith(12, "VP8L") && bytes.has(data, 5) && bytes.data[data] == 0x2f) {
        const std::uint32_t bits = bytes.u32(data + 1, false);
        return sized(Format::Webp, (bits & 0x3fff) + 1, ((bits >> 14) & 0x3fff) + 1);
    }
    if (bytes.startsWith(12, "VP8X") && bytes.has(data, 10)) {
        const auto u24 = [&](std::size_t at) { return bytes.u16(at, false) | std::uint32_t(bytes.data[at + 2]) << 16; };
        return sized(Format::Webp, std::uint64_t(u24(data + 4)) + 1, std::uint64_t(u24(data + 7)) + 1);
    }
    return sized(Format::Webp, 0, 0);
}

// Width and length from the first directory, the one OpenCV decodes; classic and BigTIFF.
Header tiffHeader(const Bytes &bytes)
{
    const bool bigEndian = bytes.data[0] == 'M';
    const bool big = bytes.u16(2, bigEndian) == 43;
    if (big && !bytes.has(8, 8))
        return sized(Format::Tiff, 0, 0);
    const std::uint64_t directory = big ? bytes.u64(8, bigEndian) : bytes.u32(4, bigEndian);
    const std::size_t countSize = big ? 8 : 2, entrySize = big ? 20 : 12, valueAt = big ? 12 : 8;
    if (directory > bytes.size || !bytes.has(std::size_t(directory), countSize))
        return sized(Format::Tiff, 0, 0);
    const std::uint64_t count = big ? bytes.u64(std::size_t(directory), bigEndian) : bytes.u16(std::size_t(directory), bigEndian);
    std::uint64_t width = 0, height = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::size_t entry = std::size_t(directory) + countSize + std::size_t(i) * entrySize;
        if (!bytes.has(entry, entrySize))
            break;
        const std::uint32_t tag = bytes.u16(entry, bigEndian), type = bytes.u16(entry + 2, bigEndian);
        std::uint64_t value = 0;
        if (type == 3)
            value = bytes.u16(entry + valueAt, bigEndian);
        else if (type == 4)
            value = bytes.u32(entry + valueAt, bigEndian);
        else if (type == 16 && big)
            value = bytes.u64(entry + valueAt, bigEndian);
        // A repeated tag counts at its largest, so that no decoder can find a bigger size.
        if (tag == 256)
            width = std::max(width, value);
        else if (tag == 257)
            height = std::max(height, value);
    }
    return sized(Format::Tiff, width, height);
}

Header bmpHeader(const Bytes &bytes)
{
    if (!bytes.has(14, 4))
        return sized(Format::Bmp, 0, 0);
    const std::uint32_t infoSize = bytes.u32(14, false);
    if (infoSize == 12 && bytes.has(18, 4))
        return sized(Format::Bmp, bytes.u16(18, false), bytes.u16(20, false));
    if (infoSize < 40 || !bytes.has(18, 8))
        return sized(Format::Bmp, 0, 0);
    const auto width = std::int32_t(bytes.u32(18, false));
    const auto height = std::int32_t(bytes.u32(22, false)); // negative: stored top-down
    return sized(Format::Bmp, width < 0 ? 0 : std::uint64_t(width),
                 height < 0 ? std::uint64_t(-std::int64_t(height)) : std::uint64_t(height));
}

// The EXIF orientation of a JPEG (1 to 8; 1 when it has none), from the APP1 segments
// before its image data.
int orientationOf(const Bytes &bytes)
{
    std::size_t at = 2;
    while (bytes.has(at, 4) && bytes.data[at] == 0xff) {
        const unsigned marker = bytes.data[at + 1];
        if (marker == 0xda || marker == 0xd9)
            break;
        const std::size_t length = bytes.u16(at + 2, true);
        if (length < 2)
            break;
        const std::size_t tiff = at + 10;
        if (marker == 0xe1 && bytes.startsWith(at + 4, "Exif") && bytes.has(at + 8, 2) && bytes.data[at + 8] == 0
            && bytes.data[at + 9] == 0 && bytes.has(tiff, 8) && length >= 16) {
            const Bytes exif{bytes.data + tiff, std::min(bytes.size - tiff, length - 8)};
            const bool bigEndian = exif.data[0] == 'M';
            const std::size_t directory = exif.u32(4, bigEndian);
            if (!exif.has(directory, 2))
                return 1;
            const std::size_t count = exif.u16(directory, bigEndian);
            for (std::size_t i = 0; i < count && exif.has(directory + 2 + i * 12, 12); ++i) {
                const std::size_t entry = directory + 2 + i * 12;
                if (exif.u16(entry, bigEndian) == 0x0112 && exif.u16(entry + 2, bigEndian) == 3) {
                    const std::uint32_t value = exif.u16(entry + 8, bigEndian);
                    return value >= 1 && value <= 8 ? int(value) : 1;
                }
            }
            return 1;
        }
        at += 2 + length;
    }
    return 1;
}

} // namespace

bool Header::acceptable() const
{
    return format != Format::Unknown && width > 0 && height > 0
           && std::uint64_t(width) * std::uint64_t(height) <= maxPixels;
}

Format sniff(const unsigned char *data, std::size_t size)
{
    const Bytes bytes{data, size};
    if (bytes.startsWith(0, "\xff\xd8\xff"))
        return Format::Jpeg;
    if (bytes.startsWith(0, "\x89PNG\r\n\x1a\n"))
        return Format::Png;
    if (bytes.startsWith(0, "RIFF") && bytes.startsWith(8, "WEBP"))
        return Format::Webp;
    if (bytes.has(0, 4)
        && (std::memcmp(data, "II\x2a\x00", 4) == 0 || std::memcmp(data, "MM\x00\x2a", 4) == 0
            || std::memcmp(data, "II\x2b\x00", 4) == 0 || std::memcmp(data, "MM\x00\x2b", 4) == 0))
        return Format::Tiff;
    if (bytes.startsWith(0, "BM"))
        return Format::Bmp;
    return Format::Unknown;
}

Header probe(const unsigned char *data, std::size_t size)
{
    const Bytes bytes{data, size};
    switch (sniff(data, size)) {
    case Format::Jpeg:
        return jpegHeader(bytes);
    case Format::Png:
        return pngHeader(bytes);
    case Format::Webp:
        return webpHeader(bytes);
    case Format::Tiff:
        return tiffHeader(bytes);
    case Format::Bmp:
        return bmpHeader(bytes);
    case Format::Unknown:
        break;
    }
    return {};
}

Header probeUpright(const unsigned char *data, std::size_t size)
{
    Header header = probe(data, size);
    if (header.format == Format::Jpeg && orientationOf(Bytes{data, size}) >= 5)
        std::swap(header.width, header.height);
    return header;
}

int jpegOrientation(const unsigned char *data, std::size_t size)
{
    return sniff(data, size) == Format::Jpeg ? orientationOf(Bytes{data, size}) : 1;
}

bool pngHasAlpha(const unsigned char *data, std::size_t size)
{
    const Bytes bytes{data, size};
    // Colour type 4 is grey with alpha, 6 colour with alpha.
    return sniff(data, size) == Format::Png && bytes.startsWith(12, "IHDR") && bytes.has(25, 1)
           && (data[25] == 4 || data[25] == 6);
}

cv::Mat decode(const unsigned char *data, std::size_t size, int flags)
{
    const Header header = probe(data, size);
    if (!header.acceptable())
        return {};
    cv::Mat image;
    try {
        image = cv::imdecode(cv::Mat(1, int(size), CV_8U, const_cast<unsigned char *>(data)), flags);
    } catch (...) {
        return {};
    }
    // The decoder must agree with the header that was checked, turned by EXIF or not.
    const bool asStored = image.cols == header.width && image.rows == header.height;
    const bool turned = image.cols == header.height && image.rows == header.width;
    return asStored || turned ? image : cv::Mat();
}

} // namespace imageformat
