#include "pngwriter.h"

#include <QIODevice>
#include <QThread>
#include <QThreadPool>

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace pngwriter {

namespace {

constexpr int level = 1;
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

inline unsigned char paeth(int left, int above, int aboveLeft)
{
    const int estimate = left + above - aboveLeft;
    const int toLeft = std::abs(estimate - left), toAbove = std::abs(estimate - above), toAboveLeft = std::abs(estimate - aboveLeft);
    return static_cast<unsigned char>(toLeft <= toAbove && toLeft <= toAboveLeft ? left : toAbove <= toAboveLeft ? above : aboveLeft);
}

// The filter byte and the filtered row. Each row takes the filter whose output has the least
// sum of absolute values (as signed bytes), as libpng chooses: smooth photos then pack far
// tighter than with one filter for all. `above` is null for the first row.
void filterRow(const unsigned char *row, const unsigned char *above, std::size_t bytes, unsigned char *out)
{
    static const unsigned char zeros[4] = {};
    const auto at = [](const unsigned char *line, std::size_t i) { return i >= 4 ? line[i - 4] : zeros[0]; };
    const auto cost = [](int difference) { return std::abs(static_cast<signed char>(difference)); };
    long sums[5] = {};
    for (std::size_t i = 0; i < bytes; ++i) {
        const int value = row[i], left = at(row, i), up = above ? above[i] : 0, upLeft = above ? at(above, i) : 0;
        sums[0] += cost(value);
        sums[1] += cost(value - left);
        sums[2] += cost(value - up);
        sums[3] += cost(value - ((left + up) >> 1));
        sums[4] += cost(value - paeth(left, up, upLeft));
    }
    const unsigned char filter = static_cast<unsigned char>(std::min_element(sums, sums + 5) - sums);
    *out++ = filter;
    for (std::size_t i = 0; i < bytes; ++i) {
        const int value = row[i], left = at(row, i), up = above ? above[i] : 0, upLeft = above ? at(above, i) : 0;
        const int prediction = filter == 0 ? 0 : filter == 1 ? left : filter == 2 ? up : filter == 3 ? (left + up) >> 1 : paeth(left, up, upLeft);
        out[i] = static_cast<unsigned char>(value - prediction);
    }
}

Stripe compressStripe(const Job &job, int index)
{
    Stripe stripe;
    const int firstRow = index * job.rowsPerStripe;
    const int endRow = std::min(job.colour.rows, firstRow + job.rowsPerStripe);
    const bool last = index == job.stripeCount - 1;
    const std::size_t rowBytes = 1 + 4 * std::size_t(job.colour.cols);
    stripe.rawBytes = rowBytes * std::size_t(endRow - firstRow);

    z_stream stream{};
    // Run-length matches only: after per-row filtering they find nearly everything the full
    // search would, in less time; the largest memory level gives the longest blocks.
    if (deflateInit2(&stream, level, Z_DEFLATED, 15, 9, Z_RLE) != Z_OK) {
        stripe.failed = true;
        return stripe;
    }
    // Room for the flush marker and the CRC beyond the bound.
    const std::size_t capacity = chunkHeaderBytes + deflateBound(&stream, uLong(stripe.rawBytes)) + 64;
    stripe.buffer.reset(new unsigned char[capacity]); // left unfilled: untouched pages cost nothing
    stream.next_out = stripe.buffer.get() + chunkHeaderBytes;
    stream.avail_out = uInt(capacity - chunkHeaderBytes - 4);

    const int rowsPerBatch = int(std::max<std::size_t>(1, batchBytes / rowBytes));
    std::vector<unsigned char> batch(rowBytes * std::size_t(rowsPerBatch));
    // The unfiltered row above and this one, in turn.
    std::vector<unsigned char> raw[2] = {std::vector<unsigned char>(rowBytes - 1), std::vector<unsigned char>(rowBytes - 1)};
    if (firstRow > 0)
        rawRow(job.colour, job.alpha, firstRow - 1, raw[(firstRow - 1) & 1].data());
    int status = Z_OK;
    for (int y = firstRow; y < endRow && status == Z_OK;) {
        const int rows = std::min(rowsPerBatch, endRow - y);
        for (int i = 0; i < rows; ++i) {
            const int row = y + i;
            rawRow(job.colour, job.alpha, row, raw[row & 1].data());
            filterRow(raw[row & 1].data(), row > 0 ? raw[(row - 1) & 1].data() : nullptr, rowBytes - 1,
                      batch.data() + std::size_t(i) * rowBytes);
        }
        y += rows;
        stream.next_in = batch.data();
        stream.avail_in = uInt(std::size_t(rows) * rowBytes);
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

bool write(QIODevice &out, const cv::Mat &colour, const cv::Mat &alpha, const Options &options)
{
    CV_Assert(colour.type() == CV_8UC3 && alpha.type() == CV_8UC1 && colour.size() == alpha.size() && !colour.empty());

    auto job = std::make_shared<Job>();
    job->colour = colour;
    job->alpha = alpha;
    const std::size_t rowBytes = 1 + 4 * std::size_t(colour.cols);
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
    bool ok = writeAll(out, signature, sizeof signature) && writeAll(out, ihdr.data(), ihdr.size());

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
