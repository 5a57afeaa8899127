#include "photometadata.h"

#include "heifimage.h"
#include "colourspace.h"
#include "imageformat.h"
#include "provenance.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace photometadata {

namespace {

using Buffer = std::vector<unsigned char>;

constexpr double inchesPerMetre = 39.3701;
// A JPEG segment holds 65533 bytes; "ICC_PROFILE", its NUL and two counters take 14.
constexpr std::size_t profileBytesPerSegment = 65519;

// Bounds-checked reads: every offset comes from the file.
struct Bytes
{
    const unsigned char *data;
    std::size_t size;

    bool has(std::size_t offset, std::size_t length) const { return offset <= size && length <= size - offset; }
    template <std::size_t N>
    bool startsWith(std::size_t offset, const char (&text)[N]) const
    {
        return has(offset, N - 1) && std::memcmp(data + offset, text, N - 1) == 0;
    }
    std::uint32_t u16(std::size_t at, bool bigEndian) const
    {
        return bigEndian ? (data[at] << 8 | data[at + 1]) : (data[at + 1] << 8 | data[at]);
    }
    std::uint32_t u32(std::size_t at, bool bigEndian) const
    {
        return bigEndian ? (u16(at, true) << 16 | u16(at + 2, true)) : (u16(at + 2, false) << 16 | u16(at, false));
    }
};

// The value's low `count` bytes.
void putNumber(Buffer &out, std::uint32_t value, int count, bool bigEndian = true)
{
    for (int i = 0; i < count; ++i)
        out.push_back(static_cast<unsigned char>(value >> 8 * (bigEndian ? count - 1 - i : i)));
}

void putText(Buffer &out, const char *text, std::size_t length) { out.insert(out.end(), text, text + length); }

// Pixels per metre from dots per inch or per centimetre; 0 when the value is none or absurd.
std::uint32_t perMetre(double value, bool perInch)
{
    const double rounded = std::round(value * (perInch ? inchesPerMetre : 100.0));
    return rounded >= 1 && rounded <= double(UINT32_MAX) ? std::uint32_t(rounded) : 0;
}

void leaveOut(Metadata &metadata, const char *reason)
{
    metadata.profile.clear();
    metadata.profileLeftOut = reason;
}

void keepProfile(Metadata &metadata, Buffer profile)
{
    if (profile.size() > maxProfileBytes)
        return leaveOut(metadata, "larger than 4 MiB");
    // The results hold RGB pixels, whatever the photo held; Little CMS reads every tag a
    // conversion needs, where a check of the tag table alone would pass a hollow profile.
    if (const char *problem = colourspace::rgbProfileProblem(profile.data(), profile.size()))
        return leaveOut(metadata, problem);
    // It is copied into results whole, where readers hold its size field to the bytes there are.
    if (Bytes{profile.data(), profile.size()}.u32(0, true) != profile.size())
        return leaveOut(metadata, "its size field is wrong");
    metadata.profile = std::move(profile);
    metadata.profileLeftOut.clear();
}

// A profile stored whole in the file, `length` bytes at `at`.
void keepProfileAt(const Bytes &bytes, std::size_t at, std::size_t length, Metadata &metadata)
{
    if (length > maxProfileBytes)
        return leaveOut(metadata, "larger than 4 MiB");
    if (!bytes.has(at, length))
        return leaveOut(metadata, "cut short");
    keepProfile(metadata, Buffer(bytes.data + at, bytes.data + at + length));
}

// The first directory of a TIFF structure, a whole file's or the one inside EXIF: its
// resolution, and its profile when asked for.
Density readTiff(const Bytes &tiff, Metadata &metadata, bool withProfile)
{
    if (!tiff.has(0, 8) || (!tiff.startsWith(0, "II*\0") && !tiff.startsWith(0, "MM\0*")))
        return {};
    const bool bigEndian = tiff.data[0] == 'M';
    const std::size_t directory = tiff.u32(4, bigEndian);
    if (!tiff.has(directory, 2))
        return {};
    const std::size_t count = tiff.u16(directory, bigEndian);
    double resolution[2] = {0, 0};
    std::uint32_t unit = 2; // inches, unless the file says otherwise
    for (std::size_t i = 0; i < count && tiff.has(directory + 2 + i * 12, 12); ++i) {
        const std::size_t entry = directory + 2 + i * 12;
        const std::uint32_t tag = tiff.u16(entry, bigEndian), type = tiff.u16(entry + 2, bigEndian);
        const std::size_t length = tiff.u32(entry + 4, bigEndian), offset = tiff.u32(entry + 8, bigEndian);
        if ((tag == 0x011a || tag == 0x011b) && type == 5 && length >= 1 && tiff.has(offset, 8)
            && tiff.u32(offset + 4, bigEndian) != 0) {
            resolution[tag - 0x011a] = double(tiff.u32(offset, bigEndian)) / tiff.u32(offset + 4, bigEndian);
        } else if (tag == 0x0128 && type == 3) {
            unit = tiff.u16(entry + 8, bigEndian);
        } else if (tag == 34675 && withProfile && (type == 1 || type == 7)) {
            keepProfileAt(tiff, length <= 4 ? entry + 8 : offset, length, metadata);
        }
    }
    if (unit != 2 && unit != 3)
        return {};
    const Density density{perMetre(resolution[0], unit == 2), perMetre(resolution[1], unit == 2)};
    return density.known() ? density : Density{};
}

void readJpeg(const Bytes &bytes, Metadata &metadata)
{
    struct Piece
    {
        unsigned sequence, count;
        std::size_t at, length;
    };
    std::vector<Piece> pieces;
    Density jfif, exif;
    std::size_t at = 2;
    while (bytes.has(at, 4) && bytes.data[at] == 0xff) {
        const unsigned marker = bytes.data[at + 1];
        if (marker == 0xff) {
            ++at; // fill byte
            continue;
        }
        if (marker == 0xda || marker == 0xd9)
            break;
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {
            at += 2;
            continue;
        }
        const std::size_t length = bytes.u16(at + 2, true);
        if (length < 2 || !bytes.has(at + 2, length))
            break;
        const Bytes payload{bytes.data + at + 4, length - 2};
        if (marker == 0xe0 && payload.startsWith(0, "JFIF\0") && payload.has(0, 12)) {
            const unsigned units = payload.data[7];
            if (units == 1 || units == 2) {
                const Density density{perMetre(payload.u16(8, true), units == 1), perMetre(payload.u16(10, true), units == 1)};
                if (density.known())
                    jfif = density;
            }
        } else if (marker == 0xe1 && payload.startsWith(0, "Exif\0\0")) {
            exif = readTiff(Bytes{payload.data + 6, payload.size - 6}, metadata, false);
        } else if (marker == 0xe2 && payload.startsWith(0, "ICC_PROFILE\0") && payload.has(0, 14)) {
            pieces.push_back({payload.data[12], payload.data[13], at + 18, length - 16});
        }
        at += 2 + length;
    }
    metadata.density = jfif.known() ? jfif : exif;
    if (pieces.empty())
        return;
    // Sorted, the pieces must be numbered 1 to n with every one saying n: that rules out a
    // gap, a repeat and disagreement on the count at once.
    std::stable_sort(pieces.begin(), pieces.end(), [](const Piece &a, const Piece &b) { return a.sequence < b.sequence; });
    std::size_t total = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].sequence != i + 1 || pieces[i].count != pieces.size())
            return leaveOut(metadata, "JPEG segments incomplete");
        total += pieces[i].length;
    }
    if (total > maxProfileBytes)
        return leaveOut(metadata, "larger than 4 MiB");
    Buffer profile;
    profile.reserve(total);
    for (const Piece &piece : pieces)
        profile.insert(profile.end(), bytes.data + piece.at, bytes.data + piece.at + piece.length);
    keepProfile(metadata, std::move(profile));
}

// Inflates no more than maxProfileBytes and never holds more: a few kilobytes of zlib data
// can stand for gigabytes. Gives the reason when the profile cannot be had.
const char *inflateProfile(const unsigned char *data, std::size_t size, Buffer &out)
{
    z_stream stream{};
    if (size > UINT_MAX || inflateInit(&stream) != Z_OK)
        return "compressed data damaged";
    stream.next_in = const_cast<Bytef *>(data);
    stream.avail_in = uInt(size);
    unsigned char piece[1 << 16];
    const char *reason = nullptr;
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = piece;
        stream.avail_out = sizeof piece;
        result = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = sizeof piece - stream.avail_out;
        if (produced > maxProfileBytes - out.size()) {
            reason = "larger than 4 MiB";
            break;
        }
        if (out.capacity() < out.size() + produced)
            out.reserve(std::min(maxProfileBytes, std::max(out.size() + produced, 2 * out.capacity())));
        out.insert(out.end(), piece, piece + produced);
    }
    inflateEnd(&stream);
    return reason ? reason : result == Z_STREAM_END ? nullptr : "compressed data damaged";
}

void readPng(const Bytes &bytes, Metadata &metadata)
{
    // A PNG has one profile: a file that repeats its chunk gets no more inflating for it.
    bool profileSeen = false;
    for (std::size_t at = 8; bytes.has(at, 12);) {
        const std::size_t length = bytes.u32(at, true);
        if (!bytes.has(at + 12, length))
            break;
        const Bytes chunk{bytes.data + at, 12 + length};
        const unsigned char *body = chunk.data + 8;
        const auto is = [&](const char *type) { return std::memcmp(chunk.data + 4, type, 4) == 0; };
        const auto intact = [&] { return crc32_z(0, chunk.data + 4, length + 4) == chunk.u32(8 + length, true); };
        if (is("IDAT") || is("IEND"))
            break;
        if (is("iCCP") && !profileSeen) {
            profileSeen = true;
            const auto *nul = static_cast<const unsigned char *>(std::memchr(body, 0, std::min<std::size_t>(length, 80)));
            const std::size_t name = nul ? std::size_t(nul - body) : 0;
            Buffer profile;
            const char *reason = nullptr;
            if (!intact())
                reason = "PNG chunk damaged";
            else if (name < 1 || name + 2 > length || body[name + 1] != 0)
                reason = "not an ICC profile";
            else
                reason = inflateProfile(body + name + 2, length - name - 2, profile);
            if (reason)
                leaveOut(metadata, reason);
            else
                keepProfile(metadata, std::move(profile));
        } else if ((is("sRGB") || is("gAMA") || is("cHRM")) && intact()) {
            metadata.colourChunks.emplace_back(chunk.data, chunk.data + chunk.size);
        } else if (is("tEXt") && intact() && length > sizeof provenance::keyword
                   && std::memcmp(body, provenance::keyword, sizeof provenance::keyword) == 0
                   && provenance::Record::fromText(QByteArray(reinterpret_cast<const char *>(body) + sizeof provenance::keyword,
                                                              int(length - sizeof provenance::keyword)))
                          .valid()) {
            metadata.record.assign(body + sizeof provenance::keyword, body + length);
        } else if (is("pHYs") && length == 9 && intact()) {
            const Bytes data{body, length};
            const Density density{data.u32(0, true), data.u32(4, true)};
            metadata.density = body[8] == 1 && density.known() ? density : Density{};
        }
        at += 12 + length;
    }
}

void readWebp(const Bytes &file, Metadata &metadata)
{
    const Bytes bytes{file.data, std::min<std::size_t>(file.size, 8 + std::size_t(file.u32(4, false)))};
    for (std::size_t at = 12; bytes.has(at, 8);) {
        const std::size_t length = bytes.u32(at + 4, false);
        if (bytes.startsWith(at, "ICCP"))
            return keepProfileAt(bytes, at + 8, length, metadata);
        if (!bytes.has(at + 8, length))
            break;
        at += 8 + length + (length & 1);
    }
}

void appendChunk(Buffer &out, const char *type, const Buffer &body)
{
    putNumber(out, std::uint32_t(body.size()), 4);
    const std::size_t start = out.size();
    putText(out, type, 4);
    out.insert(out.end(), body.begin(), body.end());
    putNumber(out, std::uint32_t(crc32_z(0, out.data() + start, out.size() - start)), 4);
}

// JFIF's units byte and densities: dots per inch when both sides are a whole number of them,
// otherwise dots per centimetre.
Buffer jfifDensity(const Density &density)
{
    const auto dpi = [](std::uint32_t ppm) { return std::lround(ppm / inchesPerMetre); };
    const auto whole = [&](std::uint32_t ppm) {
        const long inch = dpi(ppm);
        return inch >= 1 && inch <= 65535 && std::llabs(std::int64_t(perMetre(double(inch), true)) - ppm) <= 1;
    };
    const bool perInch = whole(density.xPerMetre) && whole(density.yPerMetre);
    const auto value = [&](std::uint32_t ppm) {
        return perInch ? dpi(ppm) : std::clamp(std::lround(ppm / 100.0), 1L, 65535L);
    };
    Buffer out{static_cast<unsigned char>(perInch ? 1 : 2)};
    putNumber(out, std::uint32_t(value(density.xPerMetre)), 2);
    putNumber(out, std::uint32_t(value(density.yPerMetre)), 2);
    return out;
}

} // namespace

Metadata read(const unsigned char *data, std::size_t size)
{
    Metadata metadata;
    const Bytes bytes{data, size};
    switch (imageformat::sniff(data, size)) {
    case imageformat::Format::Jpeg:
        readJpeg(bytes, metadata);
        break;
    case imageformat::Format::Png:
        readPng(bytes, metadata);
        break;
    case imageformat::Format::Webp:
        readWebp(bytes, metadata);
        break;
    case imageformat::Format::Tiff:
        metadata.density = readTiff(bytes, metadata, true);
        break;
    case imageformat::Format::Heif:
        if (Buffer profile = heifimage::iccProfile(data, size); !profile.empty())
            keepProfile(metadata, std::move(profile));
        break;
    default:
        break;
    }
    return metadata;
}

std::vector<unsigned char> pngChunks(const Metadata &metadata)
{
    Buffer out;
    if (!metadata.profile.empty()) {
        Buffer body;
        putText(body, "ICC Profile\0\0", 13); // keyword, its NUL, compression method 0
        uLongf packed = compressBound(uLong(metadata.profile.size()));
        body.resize(13 + packed);
        if (compress2(body.data() + 13, &packed, metadata.profile.data(), uLong(metadata.profile.size()), 9) == Z_OK) {
            body.resize(13 + packed);
            appendChunk(out, "iCCP", body);
        }
    }
    // A PNG holds a profile or says sRGB, never both: the profile, being exact, is kept.
    for (const Buffer &chunk : metadata.colourChunks)
        if (metadata.profile.empty() || !std::equal(chunk.begin() + 4, chunk.begin() + 8, "sRGB"))
            out.insert(out.end(), chunk.begin(), chunk.end());
    if (metadata.density.known()) {
        Buffer body;
        putNumber(body, metadata.density.xPerMetre, 4);
        putNumber(body, metadata.density.yPerMetre, 4);
        body.push_back(1); // per metre
        appendChunk(out, "pHYs", body);
    }
    if (!metadata.record.empty()) {
        Buffer body(provenance::keyword, provenance::keyword + sizeof provenance::keyword);
        putText(body, metadata.record.data(), metadata.record.size());
        appendChunk(out, "tEXt", body);
    }
    return out;
}

std::vector<unsigned char> embedInJpeg(const std::vector<unsigned char> &jpeg, const Metadata &metadata)
{
    const Bytes bytes{jpeg.data(), jpeg.size()};
    if (!bytes.startsWith(0, "\xff\xd8"))
        return jpeg;
    // The segments before the image data, each whole; the file stays as it is unless all parse.
    struct Segment
    {
        std::size_t at, size;
    };
    std::vector<Segment> segments;
    std::size_t at = 2;
    while (!bytes.startsWith(at, "\xff\xda")) {
        if (!bytes.has(at, 4) || bytes.data[at] != 0xff || bytes.data[at + 1] < 0xc0
            || (bytes.data[at + 1] >= 0xd0 && bytes.data[at + 1] <= 0xd9) || bytes.data[at + 1] == 0xff)
            return jpeg;
        const std::size_t length = bytes.u16(at + 2, true);
        if (length < 2 || !bytes.has(at + 2, length))
            return jpeg;
        segments.push_back({at, 2 + length});
        at += 2 + length;
    }
    const bool withProfile = !metadata.profile.empty() && metadata.profile.size() <= maxProfileBytes;
    Buffer out(jpeg.begin(), jpeg.begin() + 2);
    std::size_t next = 0;
    if (!segments.empty() && bytes.startsWith(segments[0].at, "\xff\xe0") && segments[0].size >= 18
        && bytes.startsWith(segments[0].at + 4, "JFIF\0")) {
        out.insert(out.end(), jpeg.begin() + 2, jpeg.begin() + 2 + segments[0].size);
        next = 1;
    } else if (metadata.density.known()) {
        putText(out, "\xff\xe0\x00\x10JFIF\0\x01\x01", 11);
        out.resize(out.size() + 7, 0); // the density, then no thumbnail
    }
    if (metadata.density.known()) {
        const Buffer density = jfifDensity(metadata.density);
        std::copy(density.begin(), density.end(), out.begin() + 13);
    }
    if (withProfile) {
        const std::size_t size = metadata.profile.size();
        const std::size_t count = (size + profileBytesPerSegment - 1) / profileBytesPerSegment;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t start = i * profileBytesPerSegment, length = std::min(profileBytesPerSegment, size - start);
            putText(out, "\xff\xe2", 2);
            putNumber(out, std::uint32_t(16 + length), 2);
            putText(out, "ICC_PROFILE\0", 12);
            out.push_back(static_cast<unsigned char>(i + 1));
            out.push_back(static_cast<unsigned char>(count));
            out.insert(out.end(), metadata.profile.begin() + start, metadata.profile.begin() + start + length);
        }
    }
    if (!metadata.record.empty() && metadata.record.size() < 65000) {
        putText(out, "\xff\xfe", 2);
        putNumber(out, std::uint32_t(2 + sizeof provenance::keyword + metadata.record.size()), 2);
        putText(out, provenance::keyword, sizeof provenance::keyword);
        putText(out, metadata.record.data(), metadata.record.size());
    }
    for (; next < segments.size(); ++next) {
        const Segment &segment = segments[next];
        // A profile the file already had would clash with the new one's sequence numbers.
        if (withProfile && bytes.startsWith(segment.at, "\xff\xe2") && bytes.startsWith(segment.at + 4, "ICC_PROFILE\0"))
            continue;
        out.insert(out.end(), jpeg.begin() + segment.at, jpeg.begin() + segment.at + segment.size);
    }
    out.insert(out.end(), jpeg.begin() + at, jpeg.end());
    return out;
}

std::vector<unsigned char> embedInWebp(const std::vector<unsigned char> &webp, const Metadata &metadata)
{
    const Bytes file{webp.data(), webp.size()};
    const bool withProfile = !metadata.profile.empty() && metadata.profile.size() <= maxProfileBytes;
    if ((!withProfile && metadata.record.empty()) || imageformat::sniff(file.data, file.size) != imageformat::Format::Webp)
        return webp;
    const Bytes bytes{file.data, std::min<std::size_t>(file.size, 8 + std::size_t(file.u32(4, false)))};
    struct Chunk
    {
        std::size_t at, size; // header, payload and padding
        bool is(const Bytes &bytes, const char (&type)[5]) const { return bytes.startsWith(at, type); }
    };
    std::vector<Chunk> chunks;
    for (std::size_t at = 12; at < bytes.size;) {
        if (!bytes.has(at, 8) || !bytes.has(at + 8, bytes.u32(at + 4, false)))
            return webp;
        const std::size_t length = bytes.u32(at + 4, false);
        // Some writers leave off the last chunk's padding.
        chunks.push_back({at, std::min(8 + length + (length & 1), bytes.size - at)});
        at += chunks.back().size;
    }
    if (chunks.empty())
        return webp;
    Buffer head;
    if (chunks[0].is(bytes, "VP8X")) {
        if (chunks[0].size < 18)
            return webp;
        head.assign(bytes.data + chunks[0].at, bytes.data + chunks[0].at + chunks[0].size);
        if (withProfile)
            head[8] |= 0x20;
        chunks.erase(chunks.begin());
    } else {
        std::uint32_t width = 0, height = 0;
        bool alpha = false;
        for (const Chunk &chunk : chunks) {
            const Bytes body{bytes.data + chunk.at + 8, chunk.size - 8};
            if (chunk.is(bytes, "ALPH")) {
                alpha = true;
            } else if (chunk.is(bytes, "VP8 ") && body.startsWith(3, "\x9d\x01\x2a") && body.has(6, 4)) {
                width = body.u16(6, false) & 0x3fff;
                height = body.u16(8, false) & 0x3fff;
            } else if (chunk.is(bytes, "VP8L") && body.startsWith(0, "\x2f") && body.has(1, 4)) {
                const std::uint32_t bits = body.u32(1, false);
                width = (bits & 0x3fff) + 1;
                height = (bits >> 14 & 0x3fff) + 1;
                alpha = alpha || (bits >> 28 & 1);
            }
        }
        if (width == 0 || height == 0)
            return webp;
        putText(head, "VP8X", 4);
        putNumber(head, 10, 4, false);
        putNumber(head, (alpha ? 0x10 : 0) | (withProfile ? 0x20 : 0), 4, false);
        putNumber(head, width - 1, 3, false);
        putNumber(head, height - 1, 3, false);
    }
    Buffer out;
    putText(out, "RIFF\0\0\0\0WEBP", 12);
    out.insert(out.end(), head.begin(), head.end());
    const auto addChunk = [&out](const char *type, const Buffer &body) {
        putText(out, type, 4);
        putNumber(out, std::uint32_t(body.size()), 4, false);
        out.insert(out.end(), body.begin(), body.end());
        if (body.size() & 1)
            out.push_back(0);
    };
    if (withProfile)
        addChunk("ICCP", metadata.profile);
    for (const Chunk &chunk : chunks)
        if (!(withProfile && chunk.is(bytes, "ICCP")) && !chunk.is(bytes, provenance::webpChunk))
            out.insert(out.end(), bytes.data + chunk.at, bytes.data + chunk.at + chunk.size);
    // After the image: readers skip a chunk they do not know.
    if (!metadata.record.empty()) {
        Buffer body(provenance::keyword, provenance::keyword + sizeof provenance::keyword);
        putText(body, metadata.record.data(), metadata.record.size());
        addChunk(provenance::webpChunk, body);
    }
    Buffer riffSize;
    putNumber(riffSize, std::uint32_t(out.size() - 8), 4, false);
    std::copy(riffSize.begin(), riffSize.end(), out.begin() + 4);
    return out;
}

} // namespace photometadata
