#include "pngwriter.h"

#include "deflateblocks.h"

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

constexpr int smallLevel = 6;
// The share of zero bytes, in percent, above which a batch of filtered rows is run-length
// coded: on real photographs, 60 left one detailed photo larger than OpenCV's file, 70 made
// smooth ones larger.
constexpr std::size_t runShare = 65;
// Runs coded as copies: in a smooth batch from 3 bytes, as zlib's run-length setting does;
// in a batch of detail only long ones, a cleared background's (3 made the detail larger,
// none left 7 of 12 real photographs larger than OpenCV's file once the background was
// cleared; 8 and 32 gave the same within 0.3 %).
constexpr std::size_t shortRun = 3, longRun = 8;
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
    std::unique_ptr<unsigned char[]> buffer; // the finished IDAT chunk
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
    bool clearHidden = false;
    std::function<bool(int)> rowsReady;
    std::function<void(int, const unsigned char *)> rowWritten;

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
void rawRow(const cv::Mat &colour, const cv::Mat &alpha, int y, unsigned char *out, bool clearHidden)
{
    const unsigned char *bgr = colour.ptr<unsigned char>(y);
    const unsigned char *a = alpha.ptr<unsigned char>(y);
    if (!clearHidden) {
        for (int x = 0; x < colour.cols; ++x, out += 4, bgr += 3) {
            out[0] = bgr[2];
            out[1] = bgr[1];
            out[2] = bgr[0];
            out[3] = a[x];
        }
        return;
    }
    for (int x = 0; x < colour.cols; ++x, out += 4, bgr += 3) {
        const unsigned char shown = a[x] ? 0xff : 0;
        out[0] = bgr[2] & shown;
        out[1] = bgr[1] & shown;
        out[2] = bgr[0] & shown;
        out[3] = a[x];
    }
}

// The bytes [first, end) outside which both rows are zero, or an empty range.
void nonZeroSpan(const unsigned char *row, const unsigned char *above, std::size_t bytes, std::size_t &first,
                 std::size_t &end)
{
    // Eight bytes at a time, then one.
    const auto zeroWord = [&](std::size_t at) {
        std::uint64_t a, b;
        std::memcpy(&a, row + at, 8);
        std::memcpy(&b, above + at, 8);
        return (a | b) == 0;
    };
    first = 0;
    while (first + 8 <= bytes && zeroWord(first))
        first += 8;
    while (first < bytes && row[first] == 0 && above[first] == 0)
        ++first;
    end = bytes;
    while (end >= first + 8 && zeroWord(end - 8))
        end -= 8;
    while (end > first && row[end - 1] == 0 && above[end - 1] == 0)
        --end;
}

// The Paeth filter of bytes [from, end), `from` at least one pixel in.
void paethRow(const unsigned char *__restrict row, const unsigned char *__restrict above, std::size_t from,
              std::size_t end, unsigned char *__restrict out)
{
    for (std::size_t i = from; i < end; ++i) {
        const short left = row[i - 4], up = above[i], upLeft = above[i - 4];
        const short toLeft = short(std::abs(up - upLeft)), toUp = short(std::abs(left - upLeft));
        const short toUpLeft = short(std::abs(left + up - 2 * upLeft));
        const short prediction = toLeft <= toUp && toLeft <= toUpLeft ? left : toUp <= toUpLeft ? up : upLeft;
        out[i] = static_cast<unsigned char>(row[i] - prediction);
    }
}

// Each row takes the filter whose output has the least sum of absolute values (as signed
// bytes), as libpng chooses: smooth photos then pack far tighter than with one filter for
// all. The five candidates are made in plain loops the compiler vectorises; `above` is a
// row of zeros for the first row, and `scratch` holds 5 rows of `bytes`.
void filterRow(const unsigned char *row, const unsigned char *above, std::size_t bytes, unsigned char *scratch,
               unsigned char *out)
{
    // Where both rows are zero (a cleared background), every filter gives zeros, but for the
    // pixel just after the last one that is not, which still has it on its left.
    std::size_t first = 0, end = 0;
    nonZeroSpan(row, above, bytes, first, end);
    first -= first % 4;
    end = std::min(bytes, end + 4);
    if (first >= end) {
        *out = 0;
        std::memset(out + 1, 0, bytes);
        return;
    }
    unsigned char *candidates[5];
    for (int f = 0; f < 5; ++f)
        candidates[f] = scratch + std::size_t(f) * bytes;
    const std::size_t pixel = std::min<std::size_t>(4, end);
    for (std::size_t i = first; i < pixel; ++i) { // no left neighbour
        candidates[0][i] = row[i];
        candidates[1][i] = row[i];
        candidates[2][i] = static_cast<unsigned char>(row[i] - above[i]);
        candidates[3][i] = static_cast<unsigned char>(row[i] - (above[i] >> 1));
        candidates[4][i] = static_cast<unsigned char>(row[i] - above[i]); // Paeth falls back to the byte above
    }
    // One loop a filter over raw bytes, none depending on another's output: each vectorises.
    const std::size_t from = std::max(pixel, first);
    paethRow(row, above, from, end, candidates[4]);
    for (std::size_t i = from; i < end; ++i) {
        const unsigned char value = row[i], left = row[i - 4], up = above[i];
        candidates[0][i] = value;
        candidates[1][i] = static_cast<unsigned char>(value - left);
        candidates[2][i] = static_cast<unsigned char>(value - up);
        candidates[3][i] = static_cast<unsigned char>(value - ((left + up) >> 1));
    }
    long best = -1;
    int chosen = 0;
    for (int f = 0; f < 5; ++f) {
        long sum = 0;
        for (std::size_t i = first; i < end; ++i)
            sum += std::abs(int(static_cast<signed char>(candidates[f][i])));
        if (best < 0 || sum < best) {
            best = sum;
            chosen = f;
        }
    }
    *out = static_cast<unsigned char>(chosen);
    std::memset(out + 1, 0, first);
    std::copy(candidates[chosen] + first, candidates[chosen] + end, out + 1 + first);
    std::memset(out + 1 + end, 0, bytes - end);
}

// Whole rows, about `batchBytes` of them filtered.
int rowsPerBatch(const Job &job)
{
    return int(std::max<std::size_t>(1, batchBytes / (1 + 4 * std::size_t(job.colour.cols))));
}

// The rows [firstRow, endRow) filtered, rowsPerBatch() at a time.
template<typename Take>
void filteredBatches(const Job &job, int firstRow, int endRow, bool reportRows, Take take)
{
    const std::size_t rowBytes = 1 + 4 * std::size_t(job.colour.cols);
    const int perBatch = rowsPerBatch(job);
    std::vector<unsigned char> batch(rowBytes * std::size_t(perBatch));
    // The unfiltered row above and this one, in turn; above the first row, zeros.
    std::vector<unsigned char> raw[2] = {std::vector<unsigned char>(rowBytes - 1), std::vector<unsigned char>(rowBytes - 1)};
    std::vector<unsigned char> scratch(5 * (rowBytes - 1));
    if (firstRow > 0)
        rawRow(job.colour, job.alpha, firstRow - 1, raw[(firstRow - 1) & 1].data(), job.clearHidden);
    for (int y = firstRow; y < endRow;) {
        const int rows = std::min(perBatch, endRow - y);
        for (int i = 0; i < rows; ++i) {
            const int row = y + i;
            rawRow(job.colour, job.alpha, row, raw[row & 1].data(), job.clearHidden);
            if (reportRows && job.rowWritten)
                job.rowWritten(row, raw[row & 1].data());
            filterRow(raw[row & 1].data(), raw[(row - 1) & 1].data(), rowBytes - 1, scratch.data(),
                      batch.data() + std::size_t(i) * rowBytes);
        }
        y += rows;
        if (!take(batch.data(), std::size_t(rows) * rowBytes, y == endRow))
            return;
    }
}

// After per-row filtering, a smooth stretch of a photo is mostly runs of zeros, which
// run-length matching packs far tighter; elsewhere Huffman coding packs nearly as well.
// Each batch of rows takes the one that suits it.
bool suitsRuns(const unsigned char *batch, std::size_t size)
{
    return std::size_t(std::count(batch, batch + size, 0)) * 100 > size * runShare;
}

// The stripe's deflate data, for the fast setting: runs and literals only.
bool deflateFast(const Job &job, int index, int firstRow, int endRow, bool reportRows, Stripe &stripe)
{
    const bool last = index == job.stripeCount - 1;
    const std::size_t header = index == 0 ? zlibHeaderBytes : 0;
    const int perBatch = rowsPerBatch(job);
    const std::size_t batches = std::size_t((endRow - firstRow + perBatch - 1) / perBatch);
    const std::size_t capacity = chunkHeaderBytes + header + deflateblocks::bound(stripe.rawBytes, batches) + 4;
    stripe.buffer.reset(new unsigned char[capacity]); // left unfilled: untouched pages cost nothing
    unsigned char *data = stripe.buffer.get() + chunkHeaderBytes;
    if (header) {
        data[0] = 0x78; // deflate, 32 KiB window
        data[1] = 0x01; // the fastest level; no dictionary; the check bits
    }
    deflateblocks::Writer writer(data + header, capacity - chunkHeaderBytes - header - 4);
    uLong adler = adler32(0, nullptr, 0);
    bool ok = true;
    filteredBatches(job, firstRow, endRow, reportRows, [&](const unsigned char *batch, std::size_t size, bool) {
        adler = adler32(adler, batch, uInt(size));
        ok = writer.add(batch, size, suitsRuns(batch, size) ? shortRun : longRun);
        return ok;
    });
    if (!ok || !writer.finish(last))
        return false;
    stripe.adler = adler;
    stripe.size = header + writer.size(); // the data, for now
    return true;
}

// The stripe's deflate data through zlib's full matcher, for the small setting.
bool deflateSmall(const Job &job, int index, int firstRow, int endRow, Stripe &stripe)
{
    const bool last = index == job.stripeCount - 1;
    z_stream stream{};
    if (deflateInit2(&stream, smallLevel, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    const std::size_t capacity = chunkHeaderBytes + deflateBound(&stream, uLong(stripe.rawBytes)) + 64;
    stripe.buffer.reset(new unsigned char[capacity]);
    stream.next_out = stripe.buffer.get() + chunkHeaderBytes;
    stream.avail_out = uInt(capacity - chunkHeaderBytes - 4);
    int status = Z_OK;
    filteredBatches(job, firstRow, endRow, true, [&](const unsigned char *batch, std::size_t size, bool end) {
        stream.next_in = const_cast<unsigned char *>(batch);
        stream.avail_in = uInt(size);
        const int flush = !end ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
        status = deflate(&stream, flush);
        const bool finished = flush == Z_FINISH ? status == Z_STREAM_END : status == Z_OK;
        status = finished && stream.avail_in == 0 ? Z_OK : Z_BUF_ERROR;
        return status == Z_OK;
    });
    const std::size_t produced = stream.total_out;
    stripe.adler = stream.adler;
    deflateEnd(&stream);
    if (status != Z_OK)
        return false;
    // Only the first run keeps its zlib header, and the last run's own checksum gives way to
    // the one for the whole image: the data kept moves up to just after the chunk header.
    const std::size_t skip = index > 0 ? zlibHeaderBytes : 0;
    stripe.size = produced - skip - (last ? adlerBytes : 0);
    unsigned char *data = stripe.buffer.get() + chunkHeaderBytes;
    std::memmove(data, data + skip, stripe.size);
    return true;
}

Stripe compressStripe(const Job &job, int index)
{
    Stripe stripe;
    const int firstRow = index * job.rowsPerStripe;
    const int endRow = std::min(job.colour.rows, firstRow + job.rowsPerStripe);
    if (job.rowsReady && !job.rowsReady(endRow)) {
        stripe.failed = true;
        return stripe;
    }
    stripe.rawBytes = (1 + 4 * std::size_t(job.colour.cols)) * std::size_t(endRow - firstRow);
    bool made = false;
    if (job.small) {
        // zlib's matcher loses to the fast coding on some stretches (a cleared background's
        // long runs): the smaller of the two is kept, so the small setting never is larger.
        made = deflateSmall(job, index, firstRow, endRow, stripe);
        Stripe fast;
        fast.rawBytes = stripe.rawBytes;
        if (made && deflateFast(job, index, firstRow, endRow, false, fast) && fast.size < stripe.size)
            stripe = std::move(fast);
    } else {
        made = deflateFast(job, index, firstRow, endRow, true, stripe);
    }
    if (!made) {
        stripe.failed = true;
        return stripe;
    }
    // The chunk: its header, the data, and the CRC of type and data.
    const std::size_t dataBytes = stripe.size;
    unsigned char *chunkStart = stripe.buffer.get();
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

bool write(QIODevice &out, const cv::Mat &colour, const cv::Mat &alpha, const Options &options)
{
    CV_Assert(colour.type() == CV_8UC3 && alpha.type() == CV_8UC1 && colour.size() == alpha.size() && !colour.empty());

    auto job = std::make_shared<Job>();
    job->colour = colour;
    job->alpha = alpha;
    const std::size_t rowBytes = 1 + 4 * std::size_t(colour.cols);
    job->small = options.small;
    job->clearHidden = options.clearHidden;
    job->rowsReady = options.rowsReady;
    job->rowWritten = options.rowWritten;
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
            ok = !stripe.failed && writeAll(out, stripe.buffer.get(), stripe.size);
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
    const std::vector<unsigned char> last = chunk("IDAT", checksum, sizeof checksum);
    const std::vector<unsigned char> tail = options.tail ? options.tail() : std::vector<unsigned char>();
    const std::vector<unsigned char> end = chunk("IEND", nullptr, 0);
    return writeAll(out, last.data(), last.size()) && writeAll(out, tail.data(), tail.size())
           && writeAll(out, end.data(), end.size());
}

} // namespace pngwriter
