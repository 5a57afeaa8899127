#include "pngwriter.h"

#include <QIODevice>
#include <QThread>
#include <QThreadPool>

#include <zlib.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace pngwriter {

namespace {

constexpr int fastLevel = 1;
constexpr int smallLevel = 6;
// The share of zero bytes, in percent, above which a batch of filtered rows is run-length
// coded: on real photographs, 60 left one detailed photo larger than OpenCV's file, 70 made
// smooth ones larger.
constexpr std::size_t runShare = 65;
constexpr std::size_t chunkHeaderBytes = 8; // length and type
constexpr std::size_t zlibHeaderBytes = 2;
constexpr std::size_t adlerBytes = 4;
constexpr std::size_t batchBytes = 256 * 1024;

void putU32(unsigned char *at, uLong value)
{
    at[0] = static_cast<unsigned char>(value >> 24);
    at[1] = static_cast<unsigned char>(value >> 16);
    at[2] = static_cast<unsigned char>(value >> 8);
    at[3] = static_cast<unsigned char>(value);
}

struct Stripe
{
    std::unique_ptr<unsigned char[]> buffer; // the finished IDAT chunk starts at `begin`
    std::size_t begin = 0;
    std::size_t size = 0;
    uLong adler = 1;
    std::size_t rawBytes = 0;
    bool done = false;
    bool failed = false;
};

struct Job
{
    cv::Mat colour, alpha;
    int rowsPerStripe = 1;
    int stripeCount = 0;
    bool small = false;
    std::function<bool(int)> rowsReady;

    std::mutex mutex;
    std::condition_variable changed;
    int nextStripe = 0;
    int inFlight = 0;
    bool cancelled = false;
    std::vector<Stripe> stripes;

    // The next stripe to compress, or -1.
    int take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cancelled || nextStripe >= stripeCount)
            return -1;
        ++inFlight;
        return nextStripe++;
    }
    void finish(int index, Stripe &&stripe)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stripes[std::size_t(index)] = std::move(stripe);
            stripes[std::size_t(index)].done = true;
            --inFlight;
        }
        changed.notify_all();
    }
};

// One row's RGBA bytes, as PNG stores them before filtering.
void rawRow(const cv::Mat &colour, const cv::Mat &alpha, int y, unsigned char *out)
{
    const unsigned char *bgr = colour.ptr<unsigned char>(y);
    const unsigned char *a = alpha.ptr<unsigned char>(y);
    for (int x = 0; x < colour.cols; ++x, out += 4, bgr += 3) {
        out[0] = bgr[2];
        out[1] = bgr[1];
        out[2] = bgr[0];
        out[3] = a[x];
    }
}

// Each row takes the filter whose output has the least sum of absolute values (as signed
// bytes), as libpng chooses: smooth photos then pack far tighter than with one filter for
// all. The five candidates are made in plain loops the compiler vectorises; `above` is a
// row of zeros for the first row, and `scratch` holds 5 rows of `bytes`.
void filterRow(const unsigned char *row, const unsigned char *above, std::size_t bytes, unsigned char *scratch,
               unsigned char *out)
{
    unsigned char *candidates[5];
    for (int f = 0; f < 5; ++f)
        candidates[f] = scratch + std::size_t(f) * bytes;
    const std::size_t pixel = std::min<std::size_t>(4, bytes);
    for (std::size_t i = 0; i < pixel; ++i) { // no left neighbour
        candidates[0][i] = row[i];
        candidates[1][i] = row[i];
        candidates[2][i] = static_cast<unsigned char>(row[i] - above[i]);
        candidates[3][i] = static_cast<unsigned char>(row[i] - (above[i] >> 1));
        candidates[4][i] = static_cast<unsigned char>(row[i] - above[i]); // Paeth falls back to the byte above
    }
    for (std::size_t i = pixel; i < bytes; ++i) {
        const int value = row[i], left = row[i - 4], up = above[i], upLeft = above[i - 4];
        candidates[0][i] = static_cast<unsigned char>(value);
        candidates[1][i] = static_cast<unsigned char>(value - left);
        candidates[2][i] = static_cast<unsigned char>(value - up);
        candidates[3][i] = static_cast<unsigned char>(value - ((left + up) >> 1));
        const int toLeft = std::abs(up - upLeft), toUp = std::abs(left - upLeft), toUpLeft = std::abs(left + up - 2 * upLeft);
        const int prediction = toLeft <= toUp && toLeft <= toUpLeft ? left : toUp <= toUpLeft ? up : upLeft;
        candidates[4][i] = static_cast<unsigned char>(value - prediction);
    }
    long best = -1;
    int chosen = 0;
    for (int f = 0; f < 5; ++f) {
        long sum = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            sum += std::abs(int(static_cast<signed char>(candidates[f][i])));
        if (best < 0 || sum < best) {
            best = sum;
            chosen = f;
        }
    }
    *out = static_cast<unsigned char>(chosen);
    std::copy_n(candidates[chosen], bytes, out + 1);
}

Stripe compressStripe(const Job &job, int index)
{
    Stripe stripe;
    const int firstRow = index * job.rowsPerStripe;
    const int endRow = std::min(job.colour.rows, firstRow + job.rowsPerStripe);
    const bool last = index == job.stripeCount - 1;
    if (job.rowsReady && !job.rowsReady(endRow)) {
        stripe.failed = true;
        return stripe;
    }
    const std::size_t rowBytes = 1 + 4 * std::size_t(job.colour.cols);
    stripe.rawBytes = rowBytes * std::size_t(endRow - firstRow);

    z_stream stream{};
    // After per-row filtering, a smooth stretch of a photo is mostly runs of zeros, which
    // run-length matching packs far tighter; elsewhere Huffman coding alone packs nearly as
    // well, in less time. Each batch of rows takes the one that suits it.
    // Small: every row through zlib's full matcher.
    const int level = job.small ? smallLevel : fastLevel;
    int strategy = job.small ? Z_DEFAULT_STRATEGY : Z_HUFFMAN_ONLY;
    if (deflateInit2(&stream, level, Z_DEFLATED, 15, 9, strategy) != Z_OK) {
        stripe.failed = true;
        return stripe;
    }
    // Room for the flush marker, a block end at each change of strategy, and the CRC.
    const int rowsPerBatch = int(std::max<std::size_t>(1, batchBytes / rowBytes));
    const std::size_t capacity = chunkHeaderBytes + deflateBound(&stream, uLong(stripe.rawBytes)) + 64
                                 + 16 * std::size_t(job.rowsPerStripe / rowsPerBatch + 1);
    stripe.buffer.reset(new unsigned char[capacity]); // left unfilled: untouched pages cost nothing
    stream.next_out = stripe.buffer.get() + chunkHeaderBytes;
    stream.avail_out = uInt(capacity - chunkHeaderBytes - 4);

    std::vector<unsigned char> batch(rowBytes * std::size_t(rowsPerBatch));
    // The unfiltered row above and this one, in turn; above the first row, zeros.
    std::vector<unsigned char> raw[2] = {std::vector<unsigned char>(rowBytes - 1), std::vector<unsigned char>(rowBytes - 1)};
    std::vector<unsigned char> scratch(5 * (rowBytes - 1));
    if (firstRow > 0)
        rawRow(job.colour, job.alpha, firstRow - 1, raw[(firstRow - 1) & 1].data());
    int status = Z_OK;
    for (int y = firstRow; y < endRow && status == Z_OK;) {
        const int rows = std::min(rowsPerBatch, endRow - y);
        for (int i = 0; i < rows; ++i) {
            const int row = y + i;
            rawRow(job.colour, job.alpha, row, raw[row & 1].data());
            filterRow(raw[row & 1].data(), raw[(row - 1) & 1].data(), rowBytes - 1, scratch.data(),
                      batch.data() + std::size_t(i) * rowBytes);
        }
        y += rows;
        const std::size_t batchSize = std::size_t(rows) * rowBytes;
        const auto zeros = std::size_t(std::count(batch.begin(), batch.begin() + std::ptrdiff_t(batchSize), 0));
        const int suited = job.small ? Z_DEFAULT_STRATEGY : zeros * 100 > batchSize * runShare ? Z_RLE : Z_HUFFMAN_ONLY;
        if (suited != strategy && deflateParams(&stream, level, suited) != Z_OK) {
            status = Z_BUF_ERROR;
            break;
        }
        strategy = suited;
        stream.next_in = batch.data();
        stream.avail_in = uInt(batchSize);
        const int flush = y < endRow ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
        status = deflate(&stream, flush);
        const bool finished = flush == Z_FINISH ? status == Z_STREAM_END : status == Z_OK;
        status = finished && stream.avail_in == 0 ? Z_OK : Z_BUF_ERROR;
    }
    const std::size_t produced = stream.total_out;
    stripe.adler = stream.adler;
    deflateEnd(&stream);
    if (status != Z_OK) {
        stripe.failed = true;
        return stripe;
    }

    // Only the first run keeps its zlib header, and the last run's own checksum gives way to
    // the one for the whole image. The chunk header goes just before the data kept.
    const std::size_t skip = index > 0 ? zlibHeaderBytes : 0;
    const std::size_t dataBytes = produced - skip - (last ? adlerBytes : 0);
    stripe.begin = skip;
    unsigned char *chunkStart = stripe.buffer.get() + stripe.begin;
    putU32(chunkStart, uLong(dataBytes));
    std::copy_n("IDAT", 4, chunkStart + 4);
    putU32(chunkStart + chunkHeaderBytes + dataBytes, crc32(0, chunkStart + 4, uInt(4 + dataBytes)));
    stripe.size = chunkHeaderBytes + dataBytes + 4;
    return stripe;
}

int currentNiceness()
{
#ifdef __linux__
    return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
#else
    return 0;
#endif
}

void setNiceness(int niceness)
{
#ifdef __linux__
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), niceness);
#else
    Q_UNUSED(niceness);
#endif
}

// Compresses the next stripe not yet started; false when none is left.
bool compressOne(Job &job)
{
    const int index = job.take();
    if (index < 0)
        return false;
    Stripe stripe;
    try {
        stripe = compressStripe(job, index);
    } catch (...) {
        stripe.failed = true;
    }
    job.finish(index, std::move(stripe));
    return true;
}

bool writeAll(QIODevice &out, const unsigned char *data, std::size_t size)
{
    return out.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size);
}

} // namespace

// A whole chunk: length, type, data and the CRC of type and data.
std::vector<unsigned char> chunk(const char *type, const unsigned char *data, std::size_t size)
{
    std::vector<unsigned char> bytes(chunkHeaderBytes + size + 4);
    putU32(bytes.data(), uLong(size));
    std::copy(type, type + 4, bytes.begin() + 4);
    std::copy(data, data + size, bytes.begin() + chunkHeaderBytes);
    putU32(bytes.data() + chunkHeaderBytes + size, crc32(0, bytes.data() + 4, uInt(4 + size)));
    return bytes;
}

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
    std::vector<Span> idats;
    for (std::size_t at = 8; at + chunkHeaderBytes + 4 <= size;) {
        const std::size_t length = u32At(data + at);
        if (length > size - at - chunkHeaderBytes - 4)
            return false;
        const unsigned char *type = data + at + 4;
        if (std::equal(type, type + 4, "IDAT")) {
            if (crc32(0, type, uInt(4 + length)) != u32At(type + 4 + length))
                return false;
            idats.push_back({type + 4, length});
        } else if (std::equal(type, type + 4, "IEND")) {
            break;
        }
        at += chunkHeaderBytes + length + 4;
    }
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

bool write(QIODevice &out, const cv::Mat &colour, const cv::Mat &alpha, const Options &options)
{
    CV_Assert(colour.type() == CV_8UC3 && alpha.type() == CV_8UC1 && colour.size() == alpha.size() && !colour.empty());

    auto job = std::make_shared<Job>();
    job->colour = colour;
    job->alpha = alpha;
    const std::size_t rowBytes = 1 + 4 * std::size_t(colour.cols);
    job->small = options.small;
    job->rowsReady = options.rowsReady;
    job->rowsPerStripe = options.rowsPerStripe > 0 ? options.rowsPerStripe
                                                   : int(std::max<std::size_t>(1, (std::size_t(1) << 20) / rowBytes));
    job->stripeCount = (colour.rows + job->rowsPerStripe - 1) / job->rowsPerStripe;
    job->stripes.resize(std::size_t(job->stripeCount));

    // Helpers run at the caller's priority: a background composite stays in the background.
    const int threads = options.threads > 0 ? options.threads : QThread::idealThreadCount();
    const int niceness = currentNiceness();
    for (int i = 1; i < std::min(threads, job->stripeCount); ++i)
        QThreadPool::globalInstance()->start([job, niceness] {
            setNiceness(niceness);
            while (compressOne(*job)) {
            }
        });

    unsigned char header[13];
    putU32(header, uLong(colour.cols));
    putU32(header + 4, uLong(colour.rows));
    header[8] = 8; // bits per channel
    header[9] = 6; // RGBA
    header[10] = header[11] = header[12] = 0;
    const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    const std::vector<unsigned char> ihdr = chunk("IHDR", header, sizeof header);
    bool ok = writeAll(out, signature, sizeof signature) && writeAll(out, ihdr.data(), ihdr.size())
              && writeAll(out, options.chunks.data(), options.chunks.size());

    // The calling thread compresses too, and writes each stripe, in order, once it is done.
    uLong adler = adler32(0, nullptr, 0);
    for (int written = 0; ok && written < job->stripeCount;) {
        std::unique_lock<std::mutex> lock(job->mutex);
        Stripe &stripe = job->stripes[std::size_t(written)];
        if (stripe.done) {
            lock.unlock();
            ok = !stripe.failed && writeAll(out, stripe.buffer.get() + stripe.begin, stripe.size);
            adler = adler32_combine(adler, stripe.adler, z_off_t(stripe.rawBytes));
            stripe.buffer.reset();
            ++written;
            continue;
        }
        if (job->nextStripe < job->stripeCount) {
            lock.unlock();
            compressOne(*job);
            continue;
        }
        job->changed.wait(lock, [&] { return stripe.done; });
    }

    if (!ok) {
        // Stop the helpers and let those mid-stripe finish before the images go.
        std::unique_lock<std::mutex> lock(job->mutex);
        job->cancelled = true;
        job->changed.wait(lock, [&] { return job->inFlight == 0; });
        return false;
    }
    unsigned char checksum[adlerBytes];
    putU32(checksum, adler);
    const std::vector<unsigned char> tail = chunk("IDAT", checksum, sizeof checksum);
    const std::vector<unsigned char> end = chunk("IEND", nullptr, 0);
    return writeAll(out, tail.data(), tail.size()) && writeAll(out, end.data(), end.size());
}

} // namespace pngwriter
