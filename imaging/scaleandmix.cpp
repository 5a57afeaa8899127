#include "scaleandmix.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QSaveFile>
#include <QThreadPool>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstring>
#include <future>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

QByteArray readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// A view of the bytes, no copy.
cv::Mat asMat(const QByteArray &bytes)
{
    return cv::Mat(1, bytes.size(), CV_8U, const_cast<char *>(bytes.constData()));
}

// The encoder extension for a target that can hold an alpha channel, or empty.
std::string alphaCapableExtension(const QString &targetFile)
{
    const QString suffix = QFileInfo(targetFile).suffix().toLower();
    if (suffix == QLatin1String("png") || suffix == QLatin1String("tif")
        || suffix == QLatin1String("tiff") || suffix == QLatin1String("webp"))
        return "." + suffix.toStdString();
    return {};
}

// The size the source decodes to, upright, read from its header only; empty if unknown.
cv::Size probeUprightSize(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QSize size = reader.size();
    if (!size.isValid())
        return {};
    if (reader.transformation() & QImageIOHandler::TransformationRotate90)
        size.transpose();
    return {size.width(), size.height()};
}

// The cut-out's alpha plane at 8 bits; empty when the cut-out is not four channels of
// 8 or 16 bits.
cv::Mat decodeAlpha(const QByteArray &cutoutBytes)
{
    if (cutoutBytes.isEmpty())
        return {};
    const cv::Mat cutout = cv::imdecode(asMat(cutoutBytes), cv::IMREAD_UNCHANGED);
    if (cutout.empty() || cutout.channels() != 4)
        return {};
    cv::Mat alpha;
    cv::extractChannel(cutout, alpha, 3);
    if (alpha.depth() == CV_16U)
        alpha.convertTo(alpha, CV_8U, 1.0 / 257.0);
    return alpha.depth() == CV_8U ? alpha : cv::Mat();
}

cv::Mat scaledTo(const cv::Mat &alpha, cv::Size size)
{
    cv::Mat scaled;
    cv::resize(alpha, scaled, size, 0, 0, cv::INTER_LANCZOS4);
    return scaled;
}

// A large fresh buffer costs one page fault per 4 KiB as it is first filled, a cost as large
// as the spreading itself. Where the system offers huge pages, ask for them.
void preferHugePages(void *data, size_t size)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + pageSize - 1) & ~(pageSize - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(pageSize - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
}

// Composites are background work: the uploads, and the window, come first. The threads the
// lane starts for a composite inherit this.
void yieldToForegroundWork()
{
#ifdef __linux__
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
#endif
}

void interleave(const uchar *__restrict bgr, const uchar *__restrict alpha, uchar *__restrict bgra, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        bgra[4 * i] = bgr[3 * i];
        bgra[4 * i + 1] = bgr[3 * i + 1];
        bgra[4 * i + 2] = bgr[3 * i + 2];
        bgra[4 * i + 3] = alpha[i];
    }
}

// The source, decoded into the tail of `composite`, is spread to four channels front to
// back, a chunk at a time: each chunk is copied out before its four-channel pixels land,
// and those only ever cover source bytes already copied. So the source and the composite
// never need two buffers.
void spreadInPlace(cv::Mat &composite, const cv::Mat &alpha)
{
    constexpr size_t chunk = 4096;
    uchar bgrChunk[3 * chunk];
    const size_t pixels = composite.total();
    const uchar *bgr = composite.data + pixels;
    for (size_t start = 0; start < pixels; start += chunk) {
        const size_t count = std::min(chunk, pixels - start);
        std::memcpy(bgrChunk, bgr + 3 * start, 3 * count);
        interleave(bgrChunk, alpha.data + start, composite.data + 4 * start, count);
    }
}

void compositeOrThrow(const QString &originFile, const QString &targetFile)
{
    const std::string extension = alphaCapableExtension(targetFile);
    if (extension.empty())
        return;
    QByteArray sourceBytes = readWholeFile(originFile);
    if (sourceBytes.isEmpty())
        return;

    const cv::Size expectedSize = probeUprightSize(sourceBytes);
    struct Alpha { cv::Mat original, scaled; };
    // The cut-out decodes and its alpha scales on the second core while the source decodes.
    auto alphaJob = std::async(std::launch::async, [&targetFile, expectedSize] {
        Alpha alpha{decodeAlpha(readWholeFile(targetFile)), {}};
        if (!alpha.original.empty() && !expectedSize.empty())
            alpha.scaled = scaledTo(alpha.original, expectedSize);
        return alpha;
    });

    cv::Mat composite;
    cv::Mat source;
    if (!expectedSize.empty()) {
        composite.create(expectedSize, CV_8UC4);
        preferHugePages(composite.data, composite.total() * composite.elemSize());
        source = cv::Mat(expectedSize, CV_8UC3, composite.data + composite.total());
    }
    cv::imdecode(asMat(sourceBytes), cv::IMREAD_COLOR, &source);
    sourceBytes.clear();
    Alpha alpha = alphaJob.get();
    if (source.empty() || alpha.original.empty())
        return;
    if (alpha.scaled.size() != source.size())
        alpha.scaled = scaledTo(alpha.original, source.size());
    alpha.original.release();

    const bool decodedInPlace = !composite.empty() && source.size() == composite.size()
        && source.data == composite.data + composite.total();
    if (decodedInPlace) {
        source.release();
        spreadInPlace(composite, alpha.scaled);
    } else {
        composite.create(source.size(), CV_8UC4);
        const cv::Mat planes[] = {source, alpha.scaled};
        const int fromTo[] = {0, 0, 1, 1, 2, 2, 3, 3};
        cv::mixChannels(planes, 2, &composite, 1, fromTo, 4);
        source.release();
    }
    alpha.scaled.release();

    // Room for an incompressible image up front: pages never written cost no memory, and
    // the buffer never has to grow (and briefly exist twice) while the encoder fills it.
    std::vector<uchar> encoded;
    encoded.reserve(composite.total() * composite.elemSize() + composite.rows + (1 << 16));
    preferHugePages(encoded.data(), encoded.capacity());
    if (!cv::imencode(extension, composite, encoded))
        return;
    composite.release();

    QSaveFile file(targetFile);
    if (!file.open(QIODevice::WriteOnly))
        return;
    const auto size = static_cast<qint64>(encoded.size());
    if (file.write(reinterpret_cast<const char *>(encoded.data()), size) != size)
        return; // QSaveFile discards the unfinished copy; the saved cut-out stays.
    file.commit();
}

} // namespace

ScaleAndMix::ScaleAndMix(QObject *parent)
    : QObject(parent)
    , lane(new QThreadPool(this))
{
    lane->setMaxThreadCount(1);
}

ScaleAndMix::~ScaleAndMix()
{
    lane->waitForDone();
}

void ScaleAndMix::composite(const QString &originFile, const QString &targetFile)
{
    try {
        compositeOrThrow(originFile, targetFile);
    } catch (...) {
        // An image the library rejects is one more file it cannot read: the saved cut-out stays.
    }
}

void ScaleAndMix::toBigPic(QString originFile, QString targetFile)
{
    lane->start([originFile, targetFile] {
        yieldToForegroundWork();
        composite(originFile, targetFile);
    });
}
