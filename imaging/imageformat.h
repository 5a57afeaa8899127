#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

// What a file's first bytes say it is, and the size its header claims, read before any
// decoder sees the bytes. Only these formats are ever handed to a decoder.
namespace imageformat {

enum class Format { Unknown, Jpeg, Png, Webp, Tiff, Bmp, Heif };

// No image larger than this is decoded: 250 megapixels.
constexpr std::uint64_t maxPixels = 250'000'000;

struct Header
{
    Format format = Format::Unknown;
    int width = 0;  // as stored, before any EXIF orientation (or HEIF rotation and crop) is applied
    int height = 0;
    // True when the format is known and its header gives a size within maxPixels.
    bool acceptable() const;
};

// The format from the signature alone.
Format sniff(const unsigned char *data, std::size_t size);
// The format and the stored size from the header. A header that is cut short, malformed
// or claims no pixels gives a zero size; an unknown format gives Format::Unknown.
Header probe(const unsigned char *data, std::size_t size);
// As probe(), but the size a decoder gives: a JPEG's EXIF orientation 5 to 8 turns it, a
// HEIF's transformations turn and crop it.
Header probeUpright(const unsigned char *data, std::size_t size);
// As probe() or probeUpright(), of a file named in the local 8-bit encoding: only the bytes
// the header needs are read, wherever its metadata puts them.
Header probeFile(const std::string &path, bool upright = false);
// The EXIF orientation of a JPEG, 1 to 8; 1 when it gives none.
int jpegOrientation(const unsigned char *data, std::size_t size);
// Whether the data is a PNG whose header declares an alpha channel.
bool pngHasAlpha(const unsigned char *data, std::size_t size);
// Decodes with OpenCV only an acceptable image whose decoded size agrees with its header;
// anything else, and any exception, gives an empty image. `size` is at most INT_MAX.
cv::Mat decode(const unsigned char *data, std::size_t size, int flags);

} // namespace imageformat
