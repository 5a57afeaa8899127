#include "imagefile.h"

#include "imageformat.h"

#include <QFile>

#include <opencv2/imgcodecs.hpp>

namespace imagefile {

namespace {

// The largest file read as an image: a 250-megapixel photo stored without compression.
constexpr qint64 maxImageFileBytes = qint64(1) << 30;
// Enough for the header of nearly every file; the rest is read only for an acceptable one.
constexpr qint64 headBytes = qint64(1) << 20;

} // namespace

QByteArray read(const QString &path)
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

cv::Mat decode(const QByteArray &bytes, int flags)
{
    return imageformat::decode(reinterpret_cast<const unsigned char *>(bytes.constData()),
                               std::size_t(bytes.size()), flags);
}

cv::Mat decodeAlpha(const QByteArray &cutoutBytes)
{
    const cv::Mat cutout = decode(cutoutBytes, cv::IMREAD_UNCHANGED);
    if (cutout.empty() || cutout.channels() != 4)
        return {};
    cv::Mat alpha;
    cv::extractChannel(cutout, alpha, 3);
    if (alpha.depth() == CV_16U)
        alpha.convertTo(alpha, CV_8U, 1.0 / 257.0);
    return alpha.depth() == CV_8U ? alpha : cv::Mat();
}

} // namespace imagefile
