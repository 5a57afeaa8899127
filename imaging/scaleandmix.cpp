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

#include <future>
#include <vector>

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

// The source decoded into the tail of `composite` is spread to four channels front to back.
// Every write lands on bytes whose three-channel pixel has already been read, so the
// source and the composite never need two buffers.
void spreadInPlace(cv::Mat &composite, const cv::Mat &alpha)
{
    const size_t pixels = composite.total();
    uchar *out = composite.data;
    const uchar *bgr = composite.data + pixels;
    const uchar *a = alpha.data;
    for (size_t i = 0; i < pixels; ++i) {
        const uchar blue = bgr[3 * i], green = bgr[3 * i + 1], red = bgr[3 * i + 2];
        out[4 * i] = blue;
        out[4 * i + 1] = green;
        out[4 * i + 2] = red;
        out[4 * i + 3] = a[i];
    }
}

void compositeOrThrow(const QString &originFile, const QString &targetFile)
{
    const std::string extension = alphaCapableExtension(targetFile);
    if (extension.empty())
        return;
    const QByteArray cutoutBytes = readWholeFile(targetFile);
    QByteArray sourceBytes = readWholeFile(originFile);
    if (cutoutBytes.isEmpty() || sourceBytes.isEmpty())
        return;

    const cv::Size expectedSize = probeUprightSize(sourceBytes);
    struct Alpha { cv::Mat original, scaled; };
    // The cut-out decodes and its alpha scales on the second core while the source decodes.
    auto alphaJob = std::async(std::launch::async, [&cutoutBytes, expectedSize] {
        Alpha alpha{decodeAlpha(cutoutBytes), {}};
        if (!alpha.original.empty() && !expectedSize.empty())
            alpha.scaled = scaledTo(alpha.original, expectedSize);
        return alpha;
    });

    cv::Mat composite;
    cv::Mat source;
    if (!expectedSize.empty()) {
        composite.create(expectedSize, CV_8UC4);
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
    lane->start([originFile, targetFile] { composite(originFile, targetFile); });
}
