#include "imageformat.h"

#include "heifimage.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

// Fetches ranges of an image's bytes on demand: from memory, or from a file read only where
// its header's segments lie, so that no amount of metadata before the header is read whole.
class Source
{
public:
    virtual ~Source() = default;
    // Copies `length` bytes at `offset` into `out`; false when they are not all there.
    virtual bool read(std::uint64_t offset, std::size_t length, unsigned char *out) = 0;
    // A HEIF container, read by libheif, which walks its boxes itself.
    virtual heifimage::Info heif() = 0;
};

class MemorySource : public Source
{
public:
    explicit MemorySource(const Bytes &bytes) : bytes(bytes) {}
    bool read(std::uint64_t offset, std::size_t length, unsigned char *out) override
    {
        if (offset > bytes.size || !bytes.has(std::size_t(offset), length))
            return false;
        std::memcpy(out, bytes.data + offset, length);
        return true;
    }
    heifimage::Info heif() override { return heifimage::probe(bytes.data, bytes.size); }

private:
    Bytes bytes;
};

// Reads through a window of the file, so that a walk a byte at a time stays cheap.
class FileSource : public Source
{
public:
    explicit FileSource(const std::string &path) : path(path), file(std::fopen(path.c_str(), "rb")) {}
    ~FileSource() override
    {
        if (file)
            std::fclose(file);
    }
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;
    bool open() const { return file != nullptr; }
    bool read(std::uint64_t offset, std::size_t length, unsigned char *out) override
    {
        if (!file || length > window.size())
            return false;
        if (offset < windowStart || offset - windowStart > windowFilled || length > windowFilled - (offset - windowStart)) {
            if (fseeko(file, off_t(offset), SEEK_SET) != 0)
                return false;
            windowStart = offset;
            windowFilled = std::fread(window.data(), 1, window.size(), file);
            if (length > windowFilled)
                return false;
        }
        std::memcpy(out, window.data() + (offset - windowStart), length);
        return true;
    }
    heifimage::Info heif() override { return heifimage::probeFile(path); }

private:
    std::string path;
    std::FILE *file;
    std::vector<unsigned char> window = std::vector<unsigned char>(std::size_t(1) << 16);
    std::uint64_t windowStart = 0;
    std::size_t windowFilled = 0;
};

std::uint32_t bigEndian16(const unsigned char *at)
{
    return std::uint32_t(at[0]) << 8 | at[1];
}

int orientationOfExif(const Bytes &exif);

struct JpegInfo
{
    Header header;
    int orientation = 1;
};

// Walks the segments as libjpeg does: the first start-of-frame marker gives the size, the
// first EXIF segment the orientation. Only the markers, their lengths and those two
// segments are read.
JpegInfo jpegInfo(Source &source)
{
    JpegInfo info;
    info.header = sized(Format::Jpeg, 0, 0);
    bool exifSeen = false;
    std::uint64_t at = 2;
    unsigned char pair[2];
    while (source.read(at, 2, pair)) {
        if (pair[0] != 0xff || pair[1] == 0xff) {
            ++at; // stray bytes between segments, or a fill byte: the decoder skips them too
            continue;
        }
        const unsigned marker = pair[1];
        at += 2;
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7))
            continue; // a stuffed zero, which libjpeg discards, or a marker with no length
        if (marker == 0xd9 || marker == 0xda || !source.read(at, 2, pair))
            break; // image data or its end before any frame header
        const std::size_t length = bigEndian16(pair);
        if (length < 2)
            break;
        const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (frame) {
            unsigned char fields[7];
            if (length >= 8 && source.read(at, 7, fields))
                info.header = sized(Format::Jpeg, bigEndian16(fields + 5), bigEndian16(fields + 3));
            break;
        }
        if (marker == 0xe1 && !exifSeen && length >= 16) {
            std::vector<unsigned char> segment(length - 2);
            if (source.read(at + 2, segment.size(), segment.data())
                && std::memcmp(segment.data(), "Exif\0\0", 6) == 0) {
                exifSeen = true;
                info.orientation = orientationOfExif(Bytes{segment.data() + 6, segment.size() - 6});
            }
        }
        at += length;
    }
    return info;
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
// Each is read as libtiff reads it: one value of any integer type. A directory that names
// either twice is refused, since decoders disagree on which of the two counts.
Header tiffHeader(Source &source)
{
    unsigned char head[16];
    if (!source.read(0, 8, head))
        return sized(Format::Tiff, 0, 0);
    const bool bigEndian = head[0] == 'M';
    const Bytes header{head, sizeof head};
    const bool big = header.u16(2, bigEndian) == 43;
    if (big && !source.read(8, 8, head + 8))
        return sized(Format::Tiff, 0, 0);
    const std::uint64_t directory = big ? header.u64(8, bigEndian) : header.u32(4, bigEndian);
    const std::size_t countSize = big ? 8 : 2, entrySize = big ? 20 : 12, valueAt = big ? 12 : 8;
    unsigned char countBytes[8];
    if (!source.read(directory, countSize, countBytes))
        return sized(Format::Tiff, 0, 0);
    const Bytes countField{countBytes, sizeof countBytes};
    const std::uint64_t count = big ? countField.u64(0, bigEndian) : countField.u16(0, bigEndian);
    std::uint64_t width = 0, height = 0;
    int widths = 0, heights = 0;
    for (std::uint64_t i = 0; i < count && i < 65536; ++i) {
        unsigned char entryBytes[20];
        if (!source.read(directory + countSize + i * entrySize, entrySize, entryBytes))
            break;
        const Bytes entry{entryBytes, entrySize};
        const std::uint32_t tag = entry.u16(0, bigEndian);
        if (tag != 256 && tag != 257)
            continue;
        const std::uint32_t type = entry.u16(2, bigEndian);
        const std::uint64_t values = big ? entry.u64(4, bigEndian) : entry.u32(4, bigEndian);
        std::int64_t value = 0; // 0 refuses: a type with no single integer in the entry
        if (values == 1) {
            if (type == 1)
                value = entry.data[valueAt];
            else if (type == 6)
                value = std::int8_t(entry.data[valueAt]);
            else if (type == 3)
                value = entry.u16(valueAt, bigEndian);
            else if (type == 8)
                value = std::int16_t(entry.u16(valueAt, bigEndian));
            else if (type == 4)
                value = entry.u32(valueAt, bigEndian);
            else if (type == 9)
                value = std::int32_t(entry.u32(valueAt, bigEndian));
            else if ((type == 16 || type == 17) && big)
                value = std::int64_t(std::min<std::uint64_t>(entry.u64(valueAt, bigEndian), INT64_MAX));
        }
        const std::uint64_t size = value > 0 ? std::uint64_t(value) : 0;
        if (tag == 256) {
            width = size;
            ++widths;
        } else {
            height = size;
            ++heights;
        }
    }
    if (widths != 1 || heights != 1)
        return sized(Format::Tiff, 0, 0);
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

// The orientation tag of an EXIF block's first directory (1 to 8; 1 when it has none).
int orientationOfExif(const Bytes &exif)
{
    if (!exif.has(0, 8))
        return 1;
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

Header probeSource(Source &source, bool upright)
{
    unsigned char head[32] = {};
    std::size_t have = 0;
    while (have < sizeof head && source.read(have, 1, head + have))
        ++have;
    const Format format = sniff(head, have);
    if (format == Format::Jpeg) {
        JpegInfo info = jpegInfo(source);
        if (upright && info.orientation >= 5)
            std::swap(info.header.width, info.header.height);
        return info.header;
    }
    if (format == Format::Tiff)
        return tiffHeader(source);
    if (format == Format::Heif) {
        const heifimage::Info info = source.heif();
        return upright ? sized(Format::Heif, info.width, info.height) : sized(Format::Heif, info.storedWidth, info.storedHeight);
    }
    const Bytes bytes{head, have};
    switch (format) {
    case Format::Png:
        return pngHeader(bytes);
    case Format::Webp:
        return webpHeader(bytes);
    case Format::Bmp:
        return bmpHeader(bytes);
    default:
        break;
    }
    return {};
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
    if (heifimage::isHeif(data, size))
        return Format::Heif;
    return Format::Unknown;
}

Header probe(const unsigned char *data, std::size_t size)
{
    MemorySource source(Bytes{data, size});
    return probeSource(source, false);
}

Header probeUpright(const unsigned char *data, std::size_t size)
{
    MemorySource source(Bytes{data, size});
    return probeSource(source, true);
}

Header probeFile(const std::string &path, bool upright)
{
    FileSource source(path);
    return source.open() ? probeSource(source, upright) : Header{};
}

int jpegOrientation(const unsigned char *data, std::size_t size)
{
    MemorySource source(Bytes{data, size});
    return sniff(data, size) == Format::Jpeg ? jpegInfo(source).orientation : 1;
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
    if (header.format == Format::Heif)
        return heifimage::decode(data, size, flags == cv::IMREAD_UNCHANGED);
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
