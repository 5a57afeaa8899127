#include "outputplan.h"

#include "imageformat.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <opencv2/imgcodecs.hpp>

namespace outputplan {

namespace {

// The first bytes of a file; enough for nearly every photo's header.
QByteArray head(const QString &path, qint64 bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(bytes) : QByteArray();
}

const unsigned char *bytesOf(const QByteArray &bytes)
{
    return reinterpret_cast<const unsigned char *>(bytes.constData());
}

imageformat::Header uprightHeader(const QByteArray &bytes)
{
    return imageformat::probeUpright(bytesOf(bytes), std::size_t(bytes.size()));
}

// The size of a TIFF or WebP result with alpha, or none: their headers say neither plainly
// (a TIFF's directory may follow its pixels), so the file is decoded.
cv::Size decodedSize(const QString &result, bool withAlpha)
{
    QFile file(result);
    if (!file.open(QIODevice::ReadOnly) || file.size() > (qint64(1) << 30))
        return {};
    const QByteArray bytes = file.readAll();
    const cv::Mat image = imageformat::decode(bytesOf(bytes), std::size_t(bytes.size()), cv::IMREAD_UNCHANGED);
    return image.channels() == 4 || (!withAlpha && !image.empty()) ? image.size() : cv::Size();
}

} // namespace

QString proposedOutput(const QString &input, bool inputIsFile)
{
    return input + (inputIsFile ? QStringLiteral("-no-bg-small.png") : QStringLiteral("-no-bg-small"));
}

QString resultPath(const QString &source, const QString &output, bool singleFile)
{
    if (output.isEmpty())
        return {};
    return singleFile ? output : QStringLiteral("%1/%2-no-bg.png").arg(output, QFileInfo(source).fileName());
}

bool isOwnResult(const QString &fileName)
{
    return fileName.endsWith(QLatin1String("-no-bg.png"), Qt::CaseInsensitive)
           || fileName.endsWith(QLatin1String("-no-bg-small.png"), Qt::CaseInsensitive)
           || OutputChoices::isVariantName(fileName);
}

bool isPhotoSuffix(const QString &suffix)
{
    for (const char *known : {"png", "jpg", "jpeg"})
        if (suffix.compare(QLatin1String(known), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

namespace {

Plan basePlan(const QString &source, const QString &result, const OutputChoices &choices)
{
    const QFileInfo resultInfo(result);
    if (result.isEmpty() || !resultInfo.isFile() || resultInfo.lastModified() <= QFileInfo(source).lastModified())
        return Plan::Send;
    const QByteArray resultHead = head(result, 64);
    const imageformat::Header stored = imageformat::probe(bytesOf(resultHead), std::size_t(resultHead.size()));
    const bool cutoutWithAlpha = imageformat::pngHasAlpha(bytesOf(resultHead), std::size_t(resultHead.size()));
    if (formatOf(result) == Format::CutoutOnly)
        return cutoutWithAlpha ? Plan::Skip : Plan::Send;
    imageformat::Header photo = uprightHeader(head(source, 64 * 1024));
    if (photo.width == 0) // a frame header behind large metadata
        photo = uprightHeader(head(source, 5 * 1024 * 1024)); // past a colour profile of up to 4 MiB
    if (photo.width == 0)
        return Plan::Send;
    const cv::Size photoSize(photo.width, photo.height);
    if (formatOf(result) == Format::Jpeg) {
        if (cutoutWithAlpha)
            return Plan::Finish;
        // A JPEG's frame header follows its tables; the program's own carry no orientation.
        // A kept colour profile may put it megabytes in.
        QByteArray jpegHead = head(result, 64 * 1024);
        imageformat::Header jpeg = imageformat::probe(bytesOf(jpegHead), std::size_t(jpegHead.size()));
        if (jpeg.width == 0) {
            jpegHead = head(result, 5 * 1024 * 1024);
            jpeg = imageformat::probe(bytesOf(jpegHead), std::size_t(jpegHead.size()));
        }
        return jpeg.format == imageformat::Format::Jpeg && cv::Size(jpeg.width, jpeg.height) == photoSize ? Plan::Skip
                                                                                                          : Plan::Send;
    }
    if (stored.format == imageformat::Format::Png) {
        if (!cutoutWithAlpha || stored.width == 0)
            return Plan::Send;
        return cv::Size(stored.width, stored.height) == photoSize ? Plan::Skip : Plan::Finish;
    }
    if (stored.format == imageformat::Format::Tiff || stored.format == imageformat::Format::Webp)
        return decodedSize(result, !choices.hasBackground || stored.format == imageformat::Format::Tiff) == photoSize
                   ? Plan::Skip
                   : Plan::Send;
    return Plan::Send;
}

} // namespace

Plan planFor(const QString &source, const QString &result)
{
    return basePlan(source, result, {});
}

Plan planFor(const QString &source, const QString &result, const OutputChoices &choices)
{
    const Plan plan = basePlan(source, result, choices);
    // A name that keeps the service's cut-out gets nothing else made beside it.
    if (plan != Plan::Skip || formatOf(result) == Format::CutoutOnly)
        return plan;
    const QDateTime made = QFileInfo(result).lastModified();
    bool missing = false;
    for (const QString &other : {choices.variantPath(result), choices.maskPath(result)}) {
        const QFileInfo info(other);
        missing = missing || (!other.isEmpty() && other != result && (!info.isFile() || info.lastModified() < made));
    }
    // Edges cleaned, or back to the photo's own, as the choices say.
    const bool edgesOtherwise = formatOf(result) == Format::Png
                                && (choices.edges == OutputChoices::Edges::Clean) != ScaleAndMix::hasCleanEdges(head(result, 128));
    if (!missing && !edgesOtherwise)
        return Plan::Skip;
    // A result laid on a background has lost its alpha: only the service can give it again.
    // A WebP was found complete with alpha already, unless a background let it off.
    const bool holdsAlpha = formatOf(result) == Format::Png || formatOf(result) == Format::Tiff
                            || (formatOf(result) == Format::Webp && (!choices.hasBackground || !decodedSize(result, true).empty()));
    return holdsAlpha ? Plan::Derive : Plan::Send;
}

} // namespace outputplan
