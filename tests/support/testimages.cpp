#include "testimages.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QTest>

#include <cstdio>
#include <cstdlib>

#include <zlib.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

cv::Mat photoLike(int width, int height, int channels, int seed)
{
    cv::Mat image(height, width, CV_8UC(channels));
    for (int y = 0; y < height; ++y) {
        auto *row = image.ptr<uchar>(y);
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                row[x * channels + c] = uchar((x * (3 + c) + y * (5 + 2 * c) + seed * 37 + ((x ^ y) & 15)) & 255);
    }
    return image;
}

cv::Mat cutoutLike(int width, int height, int depth, int seed)
{
    cv::Mat colour = photoLike(width, height, 3, seed);
    cv::Mat alpha(height, width, CV_8U, cv::Scalar(0));
    cv::ellipse(alpha, {width / 2, height / 2}, {width / 3, height / 3}, 0, 0, 360, cv::Scalar(255), cv::FILLED);
    cv::GaussianBlur(alpha, alpha, {5, 5}, 0);
    cv::Mat cutout;
    const cv::Mat planes[] = {colour, alpha};
    cv::merge(planes, 2, cutout);
    if (depth == CV_16U)
        cutout.convertTo(cutout, CV_16U, 257.0);
    return cutout;
}

QByteArray encode(const cv::Mat &image, const char *extension)
{
    std::vector<uchar> bytes;
    cv::imencode(extension, image, bytes);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeImage(const QString &path, const cv::Mat &image)
{
    const QString suffix = path.mid(path.lastIndexOf(QLatin1Char('.')));
    writeBytes(path, encode(image, suffix.toLatin1().constData()));
}

cv::Mat readImage(const QString &path, int flags)
{
    const QByteArray bytes = readBytes(path);
    if (bytes.isEmpty())
        return {};
    return cv::imdecode(cv::Mat(1, bytes.size(), CV_8U, const_cast<char *>(bytes.constData())), flags);
}

QByteArray withExifOrientation(const QByteArray &jpeg, int orientation)
{
    // APP1 "Exif", a big-endian TIFF header and one IFD entry: Orientation (0x0112), SHORT.
    QByteArray tiff("MM\x00\x2a\x00\x00\x00\x08", 8);
    tiff += QByteArray("\x00\x01", 2);
    tiff += QByteArray("\x01\x12\x00\x03\x00\x00\x00\x01", 8);
    tiff += char(0);
    tiff += char(orientation);
    tiff += QByteArray("\x00\x00", 2);
    tiff += QByteArray("\x00\x00\x00\x00", 4);
    QByteArray segment = QByteArray("Exif\x00\x00", 6) + tiff;
    const int length = segment.size() + 2;
    QByteArray app1("\xff\xe1", 2);
    app1 += char(length >> 8);
    app1 += char(length & 0xff);
    app1 += segment;
    return jpeg.left(2) + app1 + jpeg.mid(2);
}

QByteArray dicomLike()
{
    return QByteArray(128, '\0') + "DICM" + '\x01';
}

QByteArray pngClaiming(int width, int height)
{
    const auto u32 = [](quint32 value) {
        return QByteArray(1, char(value >> 24)) + char(value >> 16) + char(value >> 8) + char(value);
    };
    const auto chunk = [&](const QByteArray &type, const QByteArray &data) {
        const QByteArray body = type + data;
        return u32(quint32(data.size())) + body
               + u32(quint32(crc32(0, reinterpret_cast<const Bytef *>(body.constData()), uInt(body.size()))));
    };
    const QByteArray header = u32(quint32(width)) + u32(quint32(height)) + QByteArray("\x08\x06\x00\x00\x00", 5);
    // One row's worth of zlib data, so that readers which want an IDAT before trusting the
    // header (Qt's, libpng's) report the size.
    const QByteArray someRows = qCompress(QByteArray(64, '\0')).mid(4);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", someRows) + chunk("IEND", {});
}

QByteArray truncatedJpegClaiming(int width, int height)
{
    QByteArray jpeg = encode(photoLike(64, 48), ".jpg");
    const int frame = jpeg.indexOf(QByteArray("\xff\xc0", 2));
    jpeg[frame + 5] = char(height >> 8);
    jpeg[frame + 6] = char(height);
    jpeg[frame + 7] = char(width >> 8);
    jpeg[frame + 8] = char(width);
    return jpeg.left(jpeg.indexOf(QByteArray("\xff\xda", 2)) + 64);
}

long peakResidentKilobytes(const QString &process)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+) kB")).match(QString::fromLatin1(status.readAll()));
    return match.captured(1).toLong();
}

bool resetPeakResident()
{
    // "5" resets the peak that VmHWM shows to the current resident size.
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

void stopAfterAFailedRow()
{
    if (!QTest::currentTestFailed() || !qEnvironmentVariableIsSet("QUORRIN_STOP_AT_FIRST_FAILURE"))
        return;
    std::fprintf(stdout, "Stopped after the first failed row (QUORRIN_STOP_AT_FIRST_FAILURE is set).\n");
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(1);
}

QByteArray heifFromPng(const QByteArray &png, const QStringList &arguments)
{
    QTemporaryDir dir;
    if (!writeBytes(dir.filePath(QStringLiteral("in.png")), png))
        return {};
    QProcess encoder;
    encoder.start(QStringLiteral("heif-enc"), QStringList(arguments) << QStringLiteral("-o") << dir.filePath(QStringLiteral("out.heif"))
                                                                      << dir.filePath(QStringLiteral("in.png")));
    if (!encoder.waitForFinished(60000) || encoder.exitStatus() != QProcess::NormalExit || encoder.exitCode() != 0)
        return {};
    return readBytes(dir.filePath(QStringLiteral("out.heif")));
}

QByteArray heifEncoded(const cv::Mat &image, const QStringList &arguments)
{
    return heifFromPng(encode(image, ".png"), arguments);
}

QByteArray withHeifTransform(const QByteArray &heif, const char *box, char value)
{
    // The property keeps its 16 bytes, so that no offset in the file moves; libheif reads
    // the one byte it needs and skips the rest.
    const int pixi = heif.indexOf("pixi") - 4;
    if (pixi < 0 || heif.mid(pixi, 4) != QByteArray("\0\0\0\x10", 4))
        return {};
    return QByteArray(heif).replace(pixi, 16, QByteArray("\0\0\0\x10", 4) + box + value + QByteArray(7, '\0'));
}

cv::Mat heifConverted(const QByteArray &heif)
{
    QTemporaryDir dir;
    if (!writeBytes(dir.filePath(QStringLiteral("in.heif")), heif))
        return {};
    QProcess converter;
    converter.start(QStringLiteral("heif-convert"), {dir.filePath(QStringLiteral("in.heif")), dir.filePath(QStringLiteral("out.png"))});
    if (!converter.waitForFinished(60000) || converter.exitCode() != 0)
        return {};
    return readImage(dir.filePath(QStringLiteral("out.png")), cv::IMREAD_COLOR);
}
