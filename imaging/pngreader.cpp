#include "pngreader.h"

#include <QThread>

#include <zlib.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace pngreader {

namespace {

constexpr std::size_t chunkHeaderBytes = 8; // length and type
constexpr std::size_t adlerBytes = 4;

} // namespace

namespace {

std::uint32_t u32At(const unsigned char *at)
{
    return std::uint32_t(at[0]) << 24 | std::uint32_t(at[1]) << 16 | std::uint32_t(at[2]) << 8 | at[3];
}

struct Span
{
    const unsigned char *data;
    std::size_t size;
};

// One stripe's filtered rows, inflated into `out`, which it must fill exactly.
bool inflateStripe(Span in, unsigned char *out, std::size_t outSize, bool first, bool last, uLong *adler)
{
    z_stream stream{};
    if (inflateInit2(&stream, first ? 15 : -15) != Z_OK)
        return false;
    stream.next_in = const_cast<Bytef *>(in.data);
    stream.avail_in = uInt(in.size);
    stream.next_out = out;
    stream.avail_out = uInt(outSize);
    const int status = inflate(&stream, Z_SYNC_FLUSH);
    const bool whole = stream.avail_out == 0 && stream.avail_in == 0
                       && (last ? status == Z_STREAM_END || status == Z_OK : status == Z_OK);
    inflateEnd(&stream);
    *adler = adler32(adler32(0, nullptr, 0), out, uInt(outSize));
    return whole;
}

#ifdef __SSE2__
// Sub, Average and Paeth, a pixel at a time in 16-bit lanes, each pixel from the one left of
// it: the chain along the row is what bounds them, so each step must be short.
__m128i pixelAt(const unsigned char *at)
{
    std::int32_t word;
    std::memcpy(&word, at, 4);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(word), _mm_setzero_si128());
}

void storePixel(unsigned char *at, __m128i pixel)
{
    const std::int32_t word = _mm_cvtsi128_si32(_mm_packus_epi16(pixel, pixel));
    std::memcpy(at, &word, 4);
}

__m128i choose(__m128i mask, __m128i yes, __m128i no)
{
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

__m128i absolute(__m128i value)
{
    return _mm_max_epi16(value, _mm_sub_epi16(_mm_setzero_si128(), value));
}

void unfilterByPixel(unsigned char filter, unsigned char *row, const unsigned char *above, std::size_t bytes)
{
    const __m128i low = _mm_set1_epi16(0xff);
    __m128i left = _mm_setzero_si128(), upLeft = _mm_setzero_si128();
    for (std::size_t i = 0; i + 4 <= bytes; i += 4) {
        const __m128i value = pixelAt(row + i), up = pixelAt(above + i);
        __m128i prediction = left;
        if (filter == 3) {
            prediction = _mm_srli_epi16(_mm_add_epi16(left, up), 1);
        } else if (filter == 4) {
            const __m128i toLeft = absolute(_mm_sub_epi16(up, upLeft)), toUp = absolute(_mm_sub_epi16(left, upLeft));
            const __m128i toUpLeft = absolute(_mm_sub_epi16(_mm_add_epi16(left, up), _mm_add_epi16(upLeft, upLeft)));
            const __m128i least = _mm_min_epi16(toUpLeft, _mm_min_epi16(toLeft, toUp));
            prediction = choose(_mm_cmpeq_epi16(least, toLeft), left,
                                choose(_mm_cmpeq_epi16(least, toUp), up, upLeft));
        }
        left = _mm_and_si128(_mm_add_epi16(value, prediction), low);
        upLeft = up;
        storePixel(row + i, left);
    }
}
#endif

// Undoes one row's filter in place; `above` is the row before, unfiltered, or zeros.
bool unfilterRow(unsigned char filter, unsigned char *row, const unsigned char *above, std::size_t bytes)
{
    if (filter > 4)
        return false;
    if (filter == 0)
        return true;
    if (filter == 2) {
        for (std::size_t i = 0; i < bytes; ++i)
            row[i] = static_cast<unsigned char>(row[i] + above[i]);
        return true;
    }
#ifdef __SSE2__
    unfilterByPixel(filter, row, above, bytes);
#else
    for (std::size_t i = 0; i < bytes; ++i) {
        const int left = i >= 4 ? row[i - 4] : 0, up = above[i], upLeft = i >= 4 ? above[i - 4] : 0;
        int prediction = left;
        if (filter == 3) {
            prediction = (left + up) >> 1;
        } else if (filter == 4) {
            const int toLeft = std::abs(up - upLeft), toUp = std::abs(left - upLeft), toUpLeft = std::abs(left + up - 2 * upLeft);
            prediction = toLeft <= toUp && toLeft <= toUpLeft ? left : toUp <= toUpLeft ? up : upLeft;
        }
        row[i] = static_cast<unsigned char>(row[i] + prediction);
    }
#endif
    return true;
}

} // namespace

bool read(const unsigned char *data, std::size_t size, cv::Mat &colour, cv::Mat &alpha, int threads)
{
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (size < 8 + 25 || !std::equal(signature, signature + 8, data) || u32At(data + 8) != 13
        || !std::equal(data + 12, data + 16, "IHDR"))
        return false;
    const unsigned char *header = data + 16;
    const std::uint32_t width = u32At(header), height = u32At(header + 4);
    if (width == 0 || height == 0 || std::uint64_t(width) * height > 250'000'000 || header[8] != 8 || header[9] != 6
        || header[10] != 0 || header[11] != 0 || header[12] != 0)
        return false;
    // Every chunk whole, as libpng wants it: a name of letters, its CRC right, and the file
    // ending in IEND; so this takes no file that the other decoders refuse.
    std::vector<Span> idats;
    bool ended = false;
    for (std::size_t at = 8; !ended && at + chunkHeaderBytes + 4 <= size;) {
        const std::size_t length = u32At(data + at);
        if (length > size - at - chunkHeaderBytes - 4)
            return false;
        const unsigned char *type = data + at + 4;
        const auto letter = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
        if (!std::all_of(type, type + 4, letter) || crc32(0, type, uInt(4 + length)) != u32At(type + 4 + length))
            return false;
        if (std::equal(type, type + 4, "IDAT"))
            idats.push_back({type + 4, length});
        ended = std::equal(type, type + 4, "IEND");
        at += chunkHeaderBytes + length + 4;
    }
    if (!ended)
        return false;
    const std::size_t rowBytes = 1 + 4 * std::size_t(width);
    const std::size_t rowsPerStripe = std::max<std::size_t>(1, (std::size_t(1) << 20) / rowBytes);
    const std::size_t stripes = (height + rowsPerStripe - 1) / rowsPerStripe;
    if (idats.size() != stripes + 1 || idats.back().size != adlerBytes)
        return false;
    // Deflate packs at most 1032 bytes into one: a file too small for its size is refused
    // before anything of that size is allocated.
    std::size_t packed = 0;
    for (const Span &idat : idats)
        packed += idat.size;
    if (packed * 1032 < rowBytes * height)
        return false;

    // Everything is allocated before any helper starts, so that nothing throws while one runs.
    std::vector<unsigned char> raw(rowBytes * height);
    colour.create(int(height), int(width), CV_8UC3);
    alpha.create(int(height), int(width), CV_8UC1);
    const std::vector<unsigned char> zeros(rowBytes - 1, 0);
    std::vector<uLong> adlers(stripes);
    std::vector<char> whole(stripes, 0);
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<char> done(stripes, 0);
    // Inflates the next stripe not yet taken; false when none is left.
    const auto inflateOne = [&] {
        const std::size_t i = next++;
        if (i >= stripes)
            return false;
        const std::size_t rows = std::min<std::size_t>(rowsPerStripe, height - i * rowsPerStripe);
        whole[i] = inflateStripe(idats[i], raw.data() + i * rowsPerStripe * rowBytes, rows * rowBytes, i == 0,
                                 i + 1 == stripes, &adlers[i]);
        {
            std::lock_guard<std::mutex> lock(mutex);
            done[i] = 1;
        }
        changed.notify_all();
        return true;
    };
    const int helpers = std::min<int>(int(stripes), threads > 0 ? threads : QThread::idealThreadCount()) - 1;
    std::vector<std::thread> pool;
    for (int i = 0; i < helpers; ++i)
        pool.emplace_back([&] {
            while (inflateOne()) {
            }
        });

    // The calling thread inflates too, and unfilters each stripe, in order, once it is ready.
    bool ok = true;
    uLong adler = adler32(0, nullptr, 0);
    for (std::size_t i = 0; i < stripes; ++i) {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (done[i])
                    break;
                if (next >= stripes) {
                    changed.wait(lock, [&] { return done[i] != 0; });
                    break;
                }
            }
            inflateOne();
        }
        ok = ok && whole[i];
        if (!ok)
            continue; // the helpers are joined below
        const std::size_t rows = std::min<std::size_t>(rowsPerStripe, height - i * rowsPerStripe);
        adler = adler32_combine(adler, adlers[i], z_off_t(rows * rowBytes));
        for (std::size_t r = 0; r < rows && ok; ++r) {
            const std::size_t y = i * rowsPerStripe + r;
            unsigned char *row = raw.data() + y * rowBytes;
            ok = unfilterRow(row[0], row + 1, y == 0 ? zeros.data() : row + 1 - rowBytes, rowBytes - 1);
        }
        // The stripe's pixels, past each row's filter byte, into the colour and alpha planes.
        const int first = int(i * rowsPerStripe);
        const cv::Mat rgba(int(rows), int(width), CV_8UC4, raw.data() + std::size_t(first) * rowBytes + 1, rowBytes);
        cv::Mat planes[] = {colour.rowRange(first, first + int(rows)), alpha.rowRange(first, first + int(rows))};
        const int fromTo[] = {0, 2, 1, 1, 2, 0, 3, 3};
        cv::mixChannels(&rgba, 1, planes, 2, fromTo, 4);
    }
    for (std::thread &thread : pool)
        thread.join();
    return ok && adler == u32At(idats.back().data);
}

} // namespace pngreader
