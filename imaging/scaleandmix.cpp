#include "scaleandmix.h"

#include "imageformat.h"
#include "pngwriter.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThreadPool>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <future>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// The largest file read as an image: a 250-megapixel photo stored without compression.
constexpr qint64 maxImageFileBytes = qint64(1) << 30;
// Enough for the header of nearly every file; the rest is read only for an acceptable one.
constexpr qint64 headBytes = qint64(1) << 20;

// The file's bytes, or empty when its first bytes name no accepted format or its header
// claims too many pixels. A refused file is never read beyond its head; the full check
// comes again, on all the bytes, when it is decoded.
QByteArray readImageFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    if (size <= 0 || size > maxImageFileBytes)
        return {};
    QByteArray bytes(int(size), Qt::Uninitialized);
    qint64 have = file.read(bytes.data(), qMin(size, headBytes));
    // A size not found in the head may lie further in (a JPEG after large metadata, a TIFF's
    // directory at the end), so only a size found and refused stops the reading here.
    const imageformat::Header head =
        imageformat::probe(reinterpret_cast<const unsigned char *>(bytes.constData()), std::size_t(qMax<qint64>(have, 0)));
    if (head.format == imageformat::Format::Unknown || (head.width > 0 && !head.acceptable()))
        return {};
    while (have < size) {
        const qint64 got = file.read(bytes.data() + have, size - have);
        if (got <= 0)
            return {};
        have += got;
    }
    return bytes;
}

cv::Mat decodeImage(const QByteArray &bytes, int flags)
{
    return imageformat::decode(reinterpret_cast<const unsigned char *>(bytes.constData()),
                               std::size_t(bytes.size()), flags);
}

// The encoder extension for a target that can hold an alpha channel, or empty.
std::string alphaCapableExtension(const QString &targetFile)
{
    switch (ScaleAndMix::formatOf(targetFile)) {
    case ScaleAndMix::TargetFormat::Png:
        return ".png";
    case ScaleAndMix::TargetFormat::Tiff:
        return ".tiff";
    case ScaleAndMix::TargetFormat::Webp:
        return ".webp";
    case ScaleAndMix::TargetFormat::CutoutOnly:
        break;
    }
    return {};
}

// The cut-out's alpha plane at 8 bits; empty when the cut-out is not four channels of
// 8 or 16 bits.
cv::Mat decodeAlpha(const QByteArray &cutoutBytes)
{
    const cv::Mat cutout = decodeImage(cutoutBytes, cv::IMREAD_UNCHANGED);
    if (cutout.empty() || cutout.channels() != 4)
        return {};
    cv::Mat alpha;
    cv::extractChannel(cutout, alpha, 3);
    if (alpha.depth() == CV_16U)
        alpha.convertTo(alpha, CV_8U, 1.0 / 257.0);
    return alpha.depth() == CV_8U ? alpha : cv::Mat();
}

// Composites are background work: the uploads, and the window, come first. The threads the
// lane starts for a composite inherit this.
void yieldToForegroundWork()
{
#ifdef __linux__
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
#endif
}

bool writeComposite(QSaveFile &file, const std::string &extension, const cv::Mat &colour, const cv::Mat &alpha,
                    int threads)
{
    if (extension == ".png") {
        pngwriter::Options options;
        options.threads = threads;
        return pngwriter::write(file, colour, alpha, options);
    }
    cv::Mat composite(colour.size(), CV_8UC4);
    const cv::Mat planes[] = {colour, alpha};
    const int fromTo[] = {0, 0, 1, 1, 2, 2, 3, 3};
    cv::mixChannels(planes, 2, &composite, 1, fromTo, 4);
    std::vector<uchar> encoded;
    if (!cv::imencode(extension, composite, encoded))
        return false;
    const auto size = static_cast<qint64>(encoded.size());
    return file.write(reinterpret_cast<const char *>(encoded.data()), size) == size;
}

ScaleAndMix::Outcome compositeOrThrow(const QString &originFile, const QString &targetFile, int threads)
{
    const std::string extension = alphaCapableExtension(targetFile);
    if (extension.empty())
        return ScaleAndMix::FormatHasNoAlpha;

    // The cut-out is small; it decodes on the second core while the source decodes.
    auto alphaJob = std::async(std::launch::async, [&targetFile] { return decodeAlpha(readImageFile(targetFile)); });
    cv::Mat source;
    {
        const QByteArray sourceBytes = readImageFile(originFile);
        if (!sourceBytes.isEmpty())
            source = decodeImage(sourceBytes, cv::IMREAD_COLOR);
    }
    cv::Mat alpha = alphaJob.get();
    if (source.empty())
        return ScaleAndMix::SourceUnreadable;
    if (alpha.empty())
        return ScaleAndMix::CutoutUnreadable;

    // Scaled only now that the source has decoded: its header alone proves nothing.
    cv::Mat scaled;
    cv::resize(alpha, scaled, source.size(), 0, 0, cv::INTER_LANCZOS4);
    alpha.release();

    QSaveFile file(targetFile);
    // Otherwise QSaveFile discards the unfinished copy, and the saved cut-out stays.
    if (!file.open(QIODevice::WriteOnly) || !writeComposite(file, extension, source, scaled, threads) || !file.commit())
        return ScaleAndMix::WriteFailed;
    return ScaleAndMix::Written;
}

} // namespace

QString ScaleAndMix::describe(Outcome outcome)
{
    switch (outcome) {
    case Written:
        break;
    case SourceUnreadable:
        return QStringLiteral("无法读取原图");
    case CutoutUnreadable:
        return QStringLiteral("服务的抠图无法读取或没有透明通道");
    case FormatHasNoAlpha:
        return QStringLiteral("结果文件的格式存不下透明度");
    case WriteFailed:
        return QStringLiteral("无法写入结果文件");
    case LibraryFailed:
        return QStringLiteral("图像库无法处理这张图");
    }
    return {};
}

ScaleAndMix::TargetFormat ScaleAndMix::formatOf(const QString &targetFile)
{
    const QString suffix = QFileInfo(targetFile).suffix().toLower();
    if (suffix == QLatin1String("png"))
        return TargetFormat::Png;
    if (suffix == QLatin1String("tif") || suffix == QLatin1String("tiff"))
        return TargetFormat::Tiff;
    if (suffix == QLatin1String("webp"))
        return TargetFormat::Webp;
    return TargetFormat::CutoutOnly;
}

ScaleAndMix::ScaleAndMix(QObject *parent)
    : QObject(parent)
    , lane(new QThreadPool(this))
{
    lane->setMaxThreadCount(1);
    qRegisterMetaType<ScaleAndMix::Outcome>();
}

ScaleAndMix::~ScaleAndMix()
{
    lane->clear();
    lane->waitForDone();
}

ScaleAndMix::Outcome ScaleAndMix::composite(const QString &originFile, const QString &targetFile, int threads)
{
    try {
        return compositeOrThrow(originFile, targetFile, threads);
    } catch (...) {
        // An image the library rejects is one more file it cannot read: the saved cut-out stays.
        return LibraryFailed;
    }
}

void ScaleAndMix::toBigPic(QString originFile, QString targetFile)
{
    lane->start([this, originFile, targetFile] {
        yieldToForegroundWork();
        emit composited(originFile, targetFile, composite(originFile, targetFile));
    });
}
