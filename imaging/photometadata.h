#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What a photo says about its colours and its print size, read from its bytes without a
// decoder, and put back into the files made from it: the pixels mean what they meant.
namespace photometadata {

// No colour profile larger than this is kept: the largest real ones are a few hundred KiB.
constexpr std::size_t maxProfileBytes = std::size_t(4) << 20;

struct Density
{
    // Pixels per metre, as PNG's pHYs stores it; 0: the photo gives none (or only an aspect).
    std::uint32_t xPerMetre = 0;
    std::uint32_t yPerMetre = 0;
    bool known() const { return xPerMetre > 0 && yPerMetre > 0; }
};

struct Metadata
{
    // The ICC profile, checked: at most maxProfileBytes, its header's size equal to its
    // length, and an RGB profile Little CMS can convert from. Empty when none.
    std::vector<unsigned char> profile;
    // Set when the photo carried a profile that was left out; says why, in a few words.
    std::string profileLeftOut;
    // A PNG photo's sRGB, gAMA and cHRM chunks, each whole (length, type, data, CRC), in
    // the photo's order.
    std::vector<std::vector<unsigned char>> colourChunks;
    Density density;
    // What the result is made from, as the program's own text ("source=…"): a PNG gets it in
    // a tEXt chunk, a JPEG in a comment, a WebP in a chunk of its own. Empty: none. Read
    // back from a PNG only, so that a master's record passes to the files made from it.
    std::string record;
};

// Reads a JPEG (APP2 ICC_PROFILE segments joined in their sequence order; JFIF density, or
// EXIF resolution), PNG (iCCP, sRGB, gAMA, cHRM, pHYs), WebP (ICCP) or TIFF (tag 34675, its
// resolution tags), or HEIF (its primary image's ICC profile, through libheif). Never reads
// outside `data`; anything malformed is left out.
Metadata read(const unsigned char *data, std::size_t size);

// The PNG chunks that carry the metadata, each whole, for a writer to put between IHDR and
// the first IDAT: iCCP (the profile deflated), the colour chunks kept, pHYs.
std::vector<unsigned char> pngChunks(const Metadata &metadata);

// The same file with the metadata put in: a JPEG gets its APP2 ICC_PROFILE segments after
// the SOI and APP0, in place of any it had, and its JFIF density set (in dots per inch when
// the density is a whole number of them, otherwise per centimetre); a WebP becomes the
// extended format when it is not, with an ICCP chunk in place of any it had. Each gets the
// record, when there is one. Anything else,
// or a file it cannot parse, comes back unchanged.
std::vector<unsigned char> embedInJpeg(const std::vector<unsigned char> &jpeg, const Metadata &metadata);
std::vector<unsigned char> embedInWebp(const std::vector<unsigned char> &webp, const Metadata &metadata);

} // namespace photometadata
