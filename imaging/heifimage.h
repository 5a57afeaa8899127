#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <string>
#include <vector>

// HEIF photos (HEIC, AVIF) through libheif: the container read for the size before anything
// is decoded, and the primary image decoded with its rotation, mirroring and crop applied.
namespace heifimage {

// Whether the first bytes are an ISO media file whose `ftyp` names a HEIF image brand (as its
// major brand, or among the compatible ones in its first 32 bytes). libheif decides the rest.
bool isHeif(const unsigned char *data, std::size_t size);

struct Info
{
    int storedWidth = 0; // the coded image, before its transformations
    int storedHeight = 0;
    int width = 0;       // as decoded: turned and cropped
    int height = 0;
};

// The primary image's sizes from the container alone; all zero when libheif cannot read it
// or has no decoder for its codec.
Info probe(const unsigned char *data, std::size_t size);
Info probeFile(const std::string &path);

// Unsupported: no decoder for its codec here; TooLarge: over imageformat::maxPixels.
enum class Failure { None, CutShort, Corrupt, Unsupported, TooLarge };

// The primary image at 8 bits, BGR (or BGRA with `withAlpha` when it has alpha), upright as its
// transformations say. Empty, and `why` set, when it does not decode whole, or when the
// decoded size is not the one its container gives.
cv::Mat decode(const unsigned char *data, std::size_t size, bool withAlpha, Failure *why = nullptr);

// The primary image's ICC profile as stored (a `colr` box of type prof or rICC); empty when
// it has none.
std::vector<unsigned char> iccProfile(const unsigned char *data, std::size_t size);

} // namespace heifimage
