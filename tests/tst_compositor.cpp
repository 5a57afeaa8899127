#include "colourspace.h"
#include "composite.h"
#include "deflateblocks.h"
#include "imageformat.h"
#include "masterfile.h"
#include "photometadata.h"
#include "outputchoices.h"
#include "pngreader.h"
#include "pngwriter.h"
#include "scaleandmix.h"
#include "testimages.h"
#include "tilepicture.h"
#include "variant.h"

#include <QBuffer>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <lcms2.h>
#include <zlib.h>

#include <array>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

enum class Source { Jpeg, Grey, SixteenBit, WithAlpha, ExifRotated, CutShort, Heic, Avif, HeicTurned, HeicMirrored };

QByteArray sourceBytes(Source kind, cv::Size size)
{
    switch (kind) {
    case Source::Jpeg:
        return encode(photoLike(size.width, size.height), ".jpg");
    case Source::Grey:
        return encode(photoLike(size.width, size.height, 1), ".png");
    case Source::SixteenBit: {
        cv::Mat deep;
        photoLike(size.width, size.height).convertTo(deep, CV_16U, 257.0);
        deep += cv::Scalar(90, 90, 90); // low bytes that an 8-bit read must drop
        return encode(deep, ".png");
    }
    case Source::WithAlpha:
        return encode(photoLike(size.width, size.height, 4), ".png");
    case Source::ExifRotated:
        // Stored on its side; orientation 6 says to turn it 90 degrees clockwise.
        return withExifOrientation(encode(photoLike(size.height, size.width), ".jpg"), 6);
    case Source::CutShort: {
        // The decoder mends it, grey below where it breaks off, and so must every reading.
        const QByteArray whole = encode(photoLike(size.width, size.height), ".jpg");
        return whole.left(whole.size() * 3 / 5);
    }
    case Source::Heic:
        return heifEncoded(photoLike(size.width, size.height));
    case Source::Avif:
        return heifEncoded(photoLike(size.width, size.height), {QStringLiteral("-A")});
    case Source::HeicTurned: // stored on its side, a quarter turn anticlockwise makes it upright
        return withHeifTransform(heifEncoded(photoLike(size.height, size.width)), "irot", 1);
    case Source::HeicMirrored:
        return withHeifTransform(heifEncoded(photoLike(size.width, size.height)), "imir", 1);
    }
    return {};
}

// The source's pixels as a viewer shows them, found without the code under test.
cv::Mat uprightColour(Source kind, const QByteArray &bytes)
{
    // libheif is the only HEIF decoder at hand: its own tool's decoding is the reference.
    if (kind == Source::Heic || kind == Source::Avif || kind == Source::HeicTurned || kind == Source::HeicMirrored)
        return heifConverted(bytes);
    const cv::Mat raw(1, bytes.size(), CV_8U, const_cast<char *>(bytes.constData()));
    if (kind != Source::ExifRotated)
        return cv::imdecode(raw, cv::IMREAD_COLOR);
    cv::Mat stored = cv::imdecode(raw, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    cv::Mat upright;
    cv::rotate(stored, upright, cv::ROTATE_90_CLOCKWISE);
    return upright;
}

cv::Mat alphaOf(const cv::Mat &image)
{
    cv::Mat alpha;
    cv::extractChannel(image, alpha, 3);
    if (alpha.depth() == CV_16U)
        alpha.convertTo(alpha, CV_8U, 1.0 / 257.0);
    return alpha;
}

bool samePixels(const cv::Mat &a, const cv::Mat &b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// The PNG's pixels read without any PNG library: the IDAT data joined, inflated by zlib (which
// checks the Adler-32), and each row's filter undone. Empty when anything is amiss.
cv::Mat inflateByHand(const QByteArray &png, QByteArray *filters = nullptr)
{
    QByteArray joined;
    int width = 0, height = 0;
    const auto u32 = [&](int at) {
        return quint32(uchar(png[at])) << 24 | quint32(uchar(png[at + 1])) << 16 | quint32(uchar(png[at + 2])) << 8
               | uchar(png[at + 3]);
    };
    for (int at = 8; at + 12 <= png.size();) {
        const int length = int(u32(at));
        const QByteArray type = png.mid(at + 4, 4);
        if (crc32(0, reinterpret_cast<const Bytef *>(png.constData() + at + 4), uInt(length + 4)) != u32(at + 8 + length))
            return {};
        if (type == "IHDR") {
            width = int(u32(at + 8));
            height = int(u32(at + 12));
        } else if (type == "IDAT") {
            joined += png.mid(at + 8, length);
        }
        at += 12 + length;
    }
    const int rowBytes = 1 + 4 * width;
    QByteArray raw(rowBytes * height, Qt::Uninitialized);
    uLongf rawSize = uLongf(raw.size());
    if (uncompress(reinterpret_cast<Bytef *>(raw.data()), &rawSize, reinterpret_cast<const Bytef *>(joined.constData()),
                   uLong(joined.size())) != Z_OK || rawSize != uLongf(raw.size()))
        return {};
    // The five filters of PNG, undone byte by byte; each row's filter handed back.
    cv::Mat rgba(height, width, CV_8UC4);
    for (int y = 0; y < height; ++y) {
        const uchar *row = reinterpret_cast<const uchar *>(raw.constData()) + y * rowBytes;
        uchar *out = rgba.ptr<uchar>(y);
        const uchar *above = y > 0 ? rgba.ptr<uchar>(y - 1) : nullptr;
        for (int i = 0; i < 4 * width; ++i) {
            const int a = i >= 4 ? out[i - 4] : 0, b = above ? above[i] : 0, c = above && i >= 4 ? above[i - 4] : 0;
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            const int predictions[] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : pb <= pc ? b : c};
            if (row[0] > 4)
                return {};
            out[i] = uchar(row[1 + i] + predictions[row[0]]);
        }
        if (filters)
            *filters += char(row[0]);
    }
    cv::cvtColor(rgba, rgba, cv::COLOR_RGBA2BGRA);
    return rgba;
}

// A subject of known shape: an opaque disc with a soft rim, and a speck of faint noise
// (alpha 6) in a corner that must not stretch the crop.
cv::Mat subjectAlpha(cv::Size size, cv::Point centre, int radius)
{
    cv::Mat alpha(size, CV_8U, cv::Scalar(0));
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) {
            const double d = std::hypot(x - centre.x, y - centre.y);
            alpha.at<uchar>(y, x) = uchar(std::clamp(int(std::lround((radius - d) * 64)), 0, 255));
        }
    alpha.at<uchar>(1, 1) = 6;
    return alpha;
}

// The variant computed plainly, pixel by pixel: the box of alpha over 10, the margin, the
// square, and round((a·c + (255 − a)·b) / 255) on a background. BGRA when transparent.
cv::Mat plainVariant(const cv::Mat &colour, const cv::Mat &alpha, const OutputChoices &choices)
{
    cv::Rect region(0, 0, colour.cols, colour.rows);
    if (choices.crop) {
        int left = colour.cols, top = colour.rows, right = -1, bottom = -1;
        for (int y = 0; y < alpha.rows; ++y)
            for (int x = 0; x < alpha.cols; ++x)
                if (alpha.at<uchar>(y, x) > 10) {
                    left = std::min(left, x), right = std::max(right, x);
                    top = std::min(top, y), bottom = std::max(bottom, y);
                }
        if (right >= 0) {
            const int margin = int(std::lround(choices.margin / 100 * std::max(right - left + 1, bottom - top + 1)));
            region = cv::Rect(left - margin, top - margin, right - left + 1 + 2 * margin, bottom - top + 1 + 2 * margin);
        }
    }
    const int side = std::max(region.width, region.height);
    const cv::Size size = choices.canvas == OutputChoices::Canvas::Square ? cv::Size(side, side) : region.size();
    const cv::Point offset((size.width - region.width) / 2, (size.height - region.height) / 2);
    const bool opaque = choices.variantHasBackground();
    const int bg[3] = {int(choices.background & 0xff), int(choices.background >> 8 & 0xff), int(choices.background >> 16 & 0xff)};
    cv::Mat out(size, opaque ? CV_8UC3 : CV_8UC4);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) {
            const int sx = region.x + x - offset.x, sy = region.y + y - offset.y;
            const bool inside = sx >= 0 && sy >= 0 && sx < colour.cols && sy < colour.rows && x >= offset.x
                                && y >= offset.y && x < offset.x + region.width && y < offset.y + region.height;
            const int a = inside ? alpha.at<uchar>(sy, sx) : 0;
            for (int k = 0; k < 3; ++k) {
                const int c = inside ? colour.at<cv::Vec3b>(sy, sx)[k] : 0;
                const uchar value = opaque ? uchar(std::lround((a * c + (255 - a) * bg[k]) / 255.0)) : uchar(c);
                if (opaque)
                    out.at<cv::Vec3b>(y, x)[k] = value;
                else
                    out.at<cv::Vec4b>(y, x)[k] = value;
            }
            if (!opaque)
                out.at<cv::Vec4b>(y, x)[3] = uchar(a);
        }
    return out;
}

// A wide-gamut profile like Adobe RGB (1998), made by Little CMS.
QByteArray wideGamutProfile()
{
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 2.19921875);
    cmsToneCurve *curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray bytes(int(size), '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(gamma);
    return bytes;
}

// A PNG photo carrying the profile, through the program's own writer.
QByteArray pngWithProfile(const cv::Mat &colour, const QByteArray &profile)
{
    photometadata::Metadata metadata;
    metadata.profile.assign(profile.begin(), profile.end());
    pngwriter::Options options;
    options.chunks = photometadata::pngChunks(metadata);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    pngwriter::write(out, colour, cv::Mat(colour.size(), CV_8UC1, cv::Scalar(255)), options);
    return out.data();
}

QString checksText(const QVector<PresetCheck> &checks)
{
    QStringList parts;
    for (const PresetCheck &check : checks)
        parts << QStringLiteral("%1 %2 %3").arg(check.rule, check.ok ? "ok" : "short", check.detailOriginal);
    return parts.join(QLatin1String(" | "));
}

} // namespace

Q_DECLARE_METATYPE(Source)
Q_DECLARE_METATYPE(cv::Size)
Q_DECLARE_METATYPE(cv::Point)

class TestCompositor : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { stopAfterAFailedRow(); }
    void initTestCase();
    void init();
    void rebuildsAtFullResolution_data();
    void rebuildsAtFullResolution();
    void leavesTheSavedCutoutAlone_data();
    void leavesTheSavedCutoutAlone();
    void secondRunKeepsTheAlpha();
    void carriesAPictureForTheReview_data();
    void carriesAPictureForTheReview();
    void clearsTheHiddenBackground_data();
    void clearsTheHiddenBackground();
    void laneRunsCompositesInOrderAndDestructionDropsTheQueued();
    void headersGiveTheSize_data();
    void headersGiveTheSize();
    void deflatesWhatZlibInflates_data();
    void deflatesWhatZlibInflates();
    void pngWriterRoundTrips_data();
    void pngWriterRoundTrips();
    void rendersTheVariant_data();
    void rendersTheVariant();
    void rendersKnownPixels_data();
    void rendersKnownPixels();
    void makesTheFilesBesideTheMaster_data();
    void makesTheFilesBesideTheMaster();
    void neverWritesOverThePhoto();
    void namesTheFiles_data();
    void namesTheFiles();
    void readsTheChoices_data();
    void readsTheChoices();
    void readsTheShippedPresets_data();
    void readsTheShippedPresets();
    void refusesABadPresetFile_data();
    void refusesABadPresetFile();
    void framesAtThePresetsShare_data();
    void framesAtThePresetsShare();
    void scalesTheFramedSubjectDownByArea_data();
    void scalesTheFramedSubjectDownByArea();
    void convertsToSrgbAsLittleCmsDoes();
    void checksAPresetsFileAsWritten_data();
    void checksAPresetsFileAsWritten();

private:
    std::unique_ptr<QTemporaryDir> dir;
};

void TestCompositor::initTestCase()
{
    // The user's presets.ini of a folder of the test's own: none.
    QStandardPaths::setTestModeEnabled(true);
}

void TestCompositor::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestCompositor::rebuildsAtFullResolution_data()
{
    QTest::addColumn<Source>("source");
    QTest::addColumn<cv::Size>("sourceSize");
    QTest::addColumn<cv::Size>("cutoutSize");
    QTest::addColumn<int>("cutoutDepth");
    QTest::addColumn<QString>("targetName");

    QTest::newRow("cut-out a quarter of the size") << Source::Jpeg << cv::Size(400, 300) << cv::Size(100, 75) << CV_8U << "cat.jpg-no-bg.png";
    QTest::newRow("cut-out of the source's size") << Source::Jpeg << cv::Size(160, 120) << cv::Size(160, 120) << CV_8U << "same.png";
    QTest::newRow("cut-out larger than the source") << Source::Jpeg << cv::Size(120, 90) << cv::Size(240, 180) << CV_8U << "larger.png";
    QTest::newRow("square cut-out stretched to 4:3") << Source::Jpeg << cv::Size(400, 300) << cv::Size(100, 100) << CV_8U << "stretch.png";
    QTest::newRow("grey source") << Source::Grey << cv::Size(200, 150) << cv::Size(50, 40) << CV_8U << "grey.png";
    QTest::newRow("16-bit source") << Source::SixteenBit << cv::Size(200, 150) << cv::Size(50, 40) << CV_8U << "deep.png";
    QTest::newRow("source with its own alpha") << Source::WithAlpha << cv::Size(200, 150) << cv::Size(50, 40) << CV_8U << "own-alpha.png";
    QTest::newRow("EXIF-rotated JPEG") << Source::ExifRotated << cv::Size(300, 400) << cv::Size(75, 100) << CV_8U << "rotated.png";
    QTest::newRow("JPEG cut short") << Source::CutShort << cv::Size(400, 300) << cv::Size(100, 75) << CV_8U << "short.png";
    QTest::newRow("16-bit cut-out") << Source::Jpeg << cv::Size(200, 150) << cv::Size(50, 40) << CV_16U << "deep-cutout.png";
    QTest::newRow("paths with Chinese characters") << Source::Jpeg << cv::Size(200, 150) << cv::Size(50, 40) << CV_8U << "猫-no-bg.png";
    QTest::newRow("TIFF target keeps alpha") << Source::Jpeg << cv::Size(200, 150) << cv::Size(50, 40) << CV_8U << "out.tiff";
    QTest::newRow("WebP target keeps alpha, losslessly") << Source::Jpeg << cv::Size(200, 150) << cv::Size(50, 40) << CV_8U << "out.webp";
    QTest::newRow("HEIC photo, odd size") << Source::Heic << cv::Size(201, 151) << cv::Size(50, 40) << CV_8U << "phone.heic-no-bg.png";
    QTest::newRow("AVIF photo") << Source::Avif << cv::Size(160, 120) << cv::Size(40, 30) << CV_8U << "photo.avif-no-bg.png";
    QTest::newRow("HEIC turned by its irot") << Source::HeicTurned << cv::Size(120, 160) << cv::Size(30, 40) << CV_8U << "turned.png";
    QTest::newRow("HEIC mirrored by its imir") << Source::HeicMirrored << cv::Size(160, 120) << cv::Size(40, 30) << CV_8U << "mirrored.png";
}

void TestCompositor::rebuildsAtFullResolution()
{
    QFETCH(Source, source);
    QFETCH(cv::Size, sourceSize);
    QFETCH(cv::Size, cutoutSize);
    QFETCH(int, cutoutDepth);
    QFETCH(QString, targetName);

    const QString origin = dir->filePath(QStringLiteral("源图.source"));
    const QString target = dir->filePath(targetName);
    const QByteArray original = sourceBytes(source, sourceSize);
    if (original.isEmpty())
        QSKIP("heif-enc and heif-convert (Debian libheif-examples) are needed to make and check a HEIF photo");
    const cv::Mat cutout = cutoutLike(cutoutSize.width, cutoutSize.height, cutoutDepth);
    QVERIFY(writeBytes(origin, original));
    QVERIFY(writeBytes(target, encode(cutout, ".png")));

    QCOMPARE(ScaleAndMix::composite(origin, target), ScaleAndMix::Written);

    // The format the name asks for, whatever a decoder would accept.
    const QByteArray head = readBytes(target).left(4);
    QVERIFY2(targetName.endsWith(QLatin1String(".tiff"))   ? head == QByteArray("II*\0", 4) || head == QByteArray("MM\0*", 4)
             : targetName.endsWith(QLatin1String(".webp")) ? head == "RIFF"
                                                           : head == "\x89PNG",
             head.toHex().constData());
    const cv::Mat result = readImage(target, cv::IMREAD_UNCHANGED);
    const cv::Mat colour = uprightColour(source, original);
    QVERIFY2(!colour.empty(), "the reference decoding");
    QCOMPARE(result.cols, colour.cols);
    QCOMPARE(result.rows, colour.rows);
    QCOMPARE(result.type(), CV_8UC4);
    cv::Mat resultColour;
    cv::cvtColor(result, resultColour, cv::COLOR_BGRA2BGR);
    const cv::Mat sourceColour = hiddenCleared(colour, alphaOf(result));
    if (targetName.endsWith(QLatin1String(".webp"))) // lossless, but free with the colours under alpha 0
        resultColour.setTo(0, alphaOf(result) == 0);
    QVERIFY2(samePixels(resultColour, sourceColour), "colour planes are the source's decoded pixels, black under alpha 0");
    cv::Mat expectedAlpha;
    cv::resize(alphaOf(cutout), expectedAlpha, colour.size(), 0, 0, cv::INTER_LANCZOS4);
    QVERIFY2(samePixels(alphaOf(result), expectedAlpha), "alpha is the cut-out's, scaled with Lanczos");
    QVERIFY(readBytes(origin) == original);
}

void TestCompositor::leavesTheSavedCutoutAlone_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("cutout");
    QTest::addColumn<QString>("targetName");
    QTest::addColumn<ScaleAndMix::Outcome>("outcome");

    const QByteArray jpeg = encode(photoLike(80, 60), ".jpg");
    const QByteArray cutout = encode(cutoutLike(20, 15), ".png");
    // Which file is refused follows from the name: "source", "cut-out", or the target's format.
    const auto row = [](const char *name, const QByteArray &source, const QByteArray &cutout, const char *target = "t.png") {
        const QString text = QString::fromUtf8(name);
        QTest::newRow(name) << source << cutout << QString::fromUtf8(target)
                            << (text.contains(QLatin1String("target")) || text.contains(QLatin1String("extension"))
                                    ? ScaleAndMix::FormatHasNoAlpha
                                : text.startsWith(QLatin1String("source")) || text.startsWith(QLatin1String("truncated"))
                                        || text.startsWith(QLatin1String("GIF"))
                                    ? ScaleAndMix::SourceUnreadable
                                    : ScaleAndMix::CutoutUnreadable);
    };
    row("source missing", QByteArray(), cutout);
    row("source is not an image", QByteArray("plain text"), cutout);
    const QByteArray png = encode(photoLike(80, 60), ".png");
    row("source is a truncated PNG", png.left(png.size() / 2), cutout);
    row("cut-out is not an image", jpeg, QByteArray("{\"errors\":[]}"));
    row("cut-out is empty", jpeg, QByteArray());
    row("three-channel cut-out", jpeg, encode(photoLike(20, 15), ".png"));
    row("grey cut-out", jpeg, encode(photoLike(20, 15, 1), ".png"));
    row(".bmp target cannot hold alpha", jpeg, cutout, "t.bmp");
    row("unknown extension", jpeg, cutout, "t.cutout");
    row("no extension", jpeg, cutout, "t");
    // Hostile files: each is refused from its first bytes or its header, quickly and cheaply.
    row("source aborts the DICOM reader", dicomLike(), cutout);
    row("cut-out aborts the DICOM reader", jpeg, dicomLike());
    // 800 x 600, a two-colour palette and a first pixel: Qt reads its size, OpenCV cannot decode it.
    const QByteArray gif("GIF89a\x20\x03\x58\x02\x80\x00\x00\x00\x00\x00\xff\xff\xff"
                         "\x2c\x00\x00\x00\x00\x20\x03\x58\x02\x00\x02\x02\x44\x01\x00\x3b", 35);
    row("GIF named .jpg", gif, cutout);
    // Sizes OpenCV refuses only after it has copied the bytes to a temporary file.
    row("PFM cut-out", jpeg, QByteArray("PF\n3000000 2\n-1.0\n") + QByteArray(64, '\x7f'));
    row("Sun raster cut-out", jpeg,
        QByteArray("\x59\xa6\x6a\x95\x00\x2d\xc6\xc0\x00\x00\x00\x02\x00\x00\x00\x20"
                   "\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00", 32) + QByteArray(64, '\x01'));
    row("source claims 60000 x 60000", pngClaiming(60000, 60000), cutout);
    row("source claims 100000 x 100000", pngClaiming(100000, 100000), cutout);
    row("cut-out claims 32768 x 32768", jpeg, pngClaiming(32768, 32768));
    row("truncated JPEG claims 62976 x 5000", truncatedJpegClaiming(62976, 5000), cutout);
    row("source header with no pixels after it", pngClaiming(4000, 3000), cutout);
}

void TestCompositor::leavesTheSavedCutoutAlone()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, cutout);
    QFETCH(QString, targetName);
    QFETCH(ScaleAndMix::Outcome, outcome);

    const QString origin = dir->filePath(QStringLiteral("source.jpg"));
    const QString target = dir->filePath(targetName);
    if (!source.isEmpty())
        QVERIFY(writeBytes(origin, source));
    QVERIFY(writeBytes(target, cutout));
    // Files OpenCV leaves when it decodes through a temporary file; others' may be there already.
    const auto openCvTemporaries = [] { return QDir::temp().entryList({QStringLiteral("__opencv_temp*")}, QDir::Files); };
    const QStringList temporariesBefore = openCvTemporaries();

    QCOMPARE(ScaleAndMix::composite(origin, target), outcome);
    QCOMPARE(readBytes(target), cutout);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden).size(), source.isEmpty() ? 1 : 2);
    QCOMPARE(openCvTemporaries(), temporariesBefore);
#ifndef QUORRIN_UNDER_ASAN
    // A bomb scaled to the size it claims would take gigabytes.
    QVERIFY2(peakResidentKilobytes() < 300 * 1024, qPrintable(QString::number(peakResidentKilobytes())));
#endif
}

void TestCompositor::clearsTheHiddenBackground_data()
{
    QTest::addColumn<QString>("photoName");
    QTest::addColumn<QString>("masterName");
    QTest::addColumn<QStringList>("first"); // the master is made with these choices
    QTest::addColumn<bool>("remade");       // then made again from itself
    QTest::addColumn<QStringList>("later"); // with these
    QTest::addColumn<bool>("kept");         // the photo's own pixels under alpha 0

    const QStringList none, keep{"--hidden=keep"};
    QTest::newRow("JPEG photo, written as it decodes") << "a.jpg" << "a.png" << none << false << none << false;
    QTest::newRow("JPEG photo, kept") << "a.jpg" << "a.png" << keep << false << none << true;
    QTest::newRow("PNG photo") << "a.png" << "b.png" << none << false << none << false;
    QTest::newRow("PNG photo, kept") << "a.png" << "b.png" << keep << false << none << true;
    QTest::newRow("TIFF master") << "a.png" << "b.tiff" << none << false << none << false;
    QTest::newRow("TIFF master, kept") << "a.png" << "b.tiff" << keep << false << none << true;
    QTest::newRow("cropped beside it, as it decodes") << "a.jpg" << "a.png" << QStringList{"--crop=0"} << false << none << false;
    QTest::newRow("cropped beside it, kept") << "a.jpg" << "a.png" << QStringList{"--crop=0", "--hidden=keep"} << false << none << true;
    QTest::newRow("cropped beside it, clean edges") << "a.png" << "b.png" << QStringList{"--crop=0", "--edges=clean"} << false << none << false;
    QTest::newRow("refined edges, kept") << "a.png" << "b.png" << QStringList{"--edges=refine", "--hidden=keep"} << false << none << true;
    QTest::newRow("a kept master cleared from itself, the photo gone") << "a.jpg" << "a.png" << keep << true << none << false;
    QTest::newRow("a cleared master given the photo's pixels again") << "a.jpg" << "a.png" << none << true << keep << true;
}

void TestCompositor::clearsTheHiddenBackground()
{
    QFETCH(QString, photoName);
    QFETCH(QString, masterName);
    QFETCH(QStringList, first);
    QFETCH(bool, remade);
    QFETCH(QStringList, later);
    QFETCH(bool, kept);

    const QString photo = dir->filePath(photoName), master = dir->filePath(masterName);
    cv::Mat pixels = photoLike(400, 300, 3, 4); // with the subject the cut-out outlines, sharp and blue
    cv::ellipse(pixels, {200, 150}, {133, 100}, 0, 0, 360, cv::Scalar(200, 60, 40), cv::FILLED, cv::LINE_AA);
    writeImage(photo, pixels);
    const cv::Mat photoColour = readImage(photo, cv::IMREAD_COLOR);
    QVERIFY(writeBytes(master, encode(cutoutLike(100, 75), ".png")));
    ScaleAndMix::Report report = makeComposite(photo, master, choicesOf(first), false);
    QCOMPARE(report.outcome, ScaleAndMix::Written);
    const bool refined = first.contains(QStringLiteral("--edges=refine"));
    const bool edgesCleaned = refined || first.contains(QStringLiteral("--edges=clean"));
    if (remade) {
        if (!kept)
            QVERIFY(QFile::remove(photo));
        report = makeComposite(photo, master, choicesOf(later), true);
        QCOMPARE(report.outcome, ScaleAndMix::Written);
        QCOMPARE(report.written, QStringList{master});
    }
    const cv::Mat made = readImage(master, cv::IMREAD_UNCHANGED);
    QCOMPARE(made.type(), CV_8UC4);
    const cv::Mat alpha = alphaOf(made);
    cv::Mat colour;
    cv::cvtColor(made, colour, cv::COLOR_BGRA2BGR);
    cv::Mat expected = kept ? photoColour : hiddenCleared(photoColour, alpha);
    if (edgesCleaned) // only the soft pixels change with clean edges
        colour.copyTo(expected, (alpha > 0) & (alpha < 255));
    QVERIFY2(samePixels(colour, expected), "the photo's pixels, black under alpha 0 unless kept");
    if (masterName.endsWith(QLatin1String(".png"))) {
        const masterfile::Marks marks = masterfile::marksOf(readBytes(master).left(masterfile::marksHeadBytes));
        QCOMPARE(marks.hiddenKept, kept);
        QCOMPARE(marks.edges, refined ? OutputChoices::Edges::Refine : edgesCleaned ? OutputChoices::Edges::Clean : OutputChoices::Edges::Source);
        QCOMPARE(marks.cutout, cv::Size(100, 75));
    }
    cv::Mat scaled; // refined from a quarter the size a side, the alpha is no longer the scaled one
    cv::resize(alphaOf(cutoutLike(100, 75)), scaled, alpha.size(), 0, 0, cv::INTER_LANCZOS4);
    QCOMPARE(samePixels(alpha, scaled), !refined);
    if (first.contains(QStringLiteral("--crop=0"))) {
        const cv::Mat variant = readImage(report.written.value(0), cv::IMREAD_UNCHANGED);
        QCOMPARE(variant.type(), CV_8UC4);
        cv::Mat variantColour, hidden;
        cv::cvtColor(variant, variantColour, cv::COLOR_BGRA2GRAY);
        variantColour.copyTo(hidden, alphaOf(variant) == 0);
        QVERIFY(cv::countNonZero(alphaOf(variant) == 0) > 0);
        QCOMPARE(cv::countNonZero(hidden) == 0, !kept);
    }
}

void TestCompositor::carriesAPictureForTheReview_data()
{
    QTest::addColumn<cv::Size>("size");
    QTest::addColumn<cv::Size>("picture");
    QTest::addColumn<QStringList>("choices");

    QTest::newRow("4:3, sampled every 2nd pixel") << cv::Size(1600, 1200) << cv::Size(192, 144) << QStringList();
    QTest::newRow("tall and odd, each stripe coded twice") << cv::Size(301, 1003) << cv::Size(58, 192)
                                                           << QStringList{"--png=small"};
    QTest::newRow("just large enough to carry one") << cv::Size(385, 20) << cv::Size(192, 10) << QStringList();
    QTest::newRow("too small to carry one") << cv::Size(384, 300) << cv::Size() << QStringList();
}

// A master carries a small picture of itself, with the exact counts of the review's marks;
// one damaged, or a master without it, gives none.
void TestCompositor::carriesAPictureForTheReview()
{
    QFETCH(cv::Size, size);
    QFETCH(cv::Size, picture);
    QFETCH(QStringList, choices);

    // Cleared on the left, soft along the top, opaque elsewhere.
    const cv::Mat colour = photoLike(size.width, size.height);
    cv::Mat alpha(size, CV_8UC1, cv::Scalar(255));
    photoLike(size.width, size.height / 4 + 1, 1, 4).rowRange(0, size.height / 4).copyTo(alpha.rowRange(0, size.height / 4));
    alpha.colRange(0, size.width / 2).setTo(0);
    const QString origin = dir->filePath(QStringLiteral("pictured.png"));
    const QString master = dir->filePath(QStringLiteral("pictured.png-no-bg.png"));
    QVERIFY(writeBytes(origin, encode(colour, ".png")));
    cv::Mat cutout;
    const cv::Mat parts[] = {colour, alpha};
    cv::merge(parts, 2, cutout);
    QVERIFY(writeBytes(master, encode(cutout, ".png")));
    QCOMPARE(makeComposite(origin, master, choicesOf(choices), false).outcome, ScaleAndMix::Written);

    tilepicture::Picture read;
    QCOMPARE(tilepicture::read(master, read), !picture.empty());
    if (picture.empty())
        return;
    QCOMPARE(read.master, size);
    QCOMPARE(read.colour.size(), picture);
    QCOMPARE(read.kept, std::uint64_t(cv::countNonZero(alpha > 10)));
    QCOMPARE(read.belowOpaque, std::uint64_t(cv::countNonZero(alpha < 245)));
    cv::Mat expectedAlpha;
    cv::resize(alpha, expectedAlpha, picture, 0, 0, cv::INTER_AREA);
    QVERIFY(cv::mean(cv::abs(read.alpha - expectedAlpha))[0] < 6);
    // The colours, channel by channel, where the picture is opaque.
    cv::Mat opaque = read.alpha == 255, expectedColour;
    cv::resize(colour, expectedColour, picture, 0, 0, cv::INTER_AREA);
    QVERIFY(cv::countNonZero(opaque) * 4 > int(opaque.total()));
    QVERIFY(cv::norm(read.colour, expectedColour, cv::NORM_L1, opaque) / (3.0 * cv::countNonZero(opaque)) < 12);

    // A byte changed in the picture, or in the pixels.
    const QByteArray bytes = readBytes(master);
    const int at = bytes.indexOf("quTH");
    QVERIFY(at > 0 && bytes.size() - at > 100);
    for (const int changed : {at + 60, bytes.size() / 2}) {
        QByteArray damaged = bytes;
        damaged[changed] = char(damaged.at(changed) ^ 1);
        QVERIFY(writeBytes(master, damaged));
        QVERIFY(!tilepicture::read(master, read));
    }
    // A picture of the right size, but without alpha, its chunk's CRC made good.
    const QByteArray rgb = encode(cv::Mat(picture, CV_8UC3, cv::Scalar::all(9)), ".png");
    const int length = int(qFromBigEndian<quint32>(bytes.constData() + at - 4));
    const QByteArray body = bytes.mid(at + 4, 8) + rgb;
    QByteArray chunk(4, 0);
    qToBigEndian<quint32>(quint32(body.size()), chunk.data());
    chunk += "quTH" + body;
    QByteArray crc(4, 0);
    qToBigEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef *>(chunk.constData() + 4), uInt(chunk.size() - 4))), crc.data());
    QVERIFY(writeBytes(master, bytes.left(at - 4) + chunk + crc + bytes.mid(at + 4 + length + 4)));
    QVERIFY(!tilepicture::read(master, read));
    QVERIFY(writeBytes(master, encode(cutout, ".png")));
    QVERIFY(!tilepicture::read(master, read));
}

void TestCompositor::secondRunKeepsTheAlpha()
{
    const QString origin = dir->filePath(QStringLiteral("s.jpg"));
    const QString target = dir->filePath(QStringLiteral("s.jpg-no-bg.png"));
    QVERIFY(writeBytes(origin, encode(photoLike(240, 180), ".jpg")));
    QVERIFY(writeBytes(target, encode(cutoutLike(60, 45), ".png")));

    ScaleAndMix::composite(origin, target);
    const QByteArray first = readBytes(target);
    ScaleAndMix::composite(origin, target);
    QVERIFY(samePixels(readImage(target, cv::IMREAD_UNCHANGED), cv::imdecode(
        cv::Mat(1, first.size(), CV_8U, const_cast<char *>(first.constData())), cv::IMREAD_UNCHANGED)));
}

void TestCompositor::laneRunsCompositesInOrderAndDestructionDropsTheQueued()
{
    // Two sources for one target: the colours tell which composite ran.
    const QString first = dir->filePath(QStringLiteral("first.png"));
    const QString second = dir->filePath(QStringLiteral("second.png"));
    const QString target = dir->filePath(QStringLiteral("out.png"));
    QVERIFY(writeBytes(first, encode(photoLike(800, 600, 3, 7), ".png")));
    QVERIFY(writeBytes(second, encode(photoLike(800, 600, 3, 9), ".png")));
    QVERIFY(writeBytes(target, encode(cutoutLike(200, 150), ".png")));

    auto *compositor = new ScaleAndMix;
    // Composites are background work: the lane's thread runs them at a lower priority.
    QList<int> niceness;
    QList<ScaleAndMix::Outcome> outcomes;
    connect(compositor, &ScaleAndMix::composited, this, [&](const QString &, const QString &, const ScaleAndMix::Report &report) {
        niceness << getpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)));
        outcomes << report.outcome;
    }, Qt::DirectConnection);
    // A fresh lane begins the first at once; the second waits in its queue.
    compositor->toBigPic(first, target);
    compositor->toBigPic(second, target);
    // The one under way is finished, whole; the queued one is left for the next run.
    delete compositor;
    const int lowered = std::max(10, getpriority(PRIO_PROCESS, 0)); // never above what this process already has
    QCOMPARE(niceness, QList<int>({lowered}));
    QCOMPARE(outcomes, QList<ScaleAndMix::Outcome>({ScaleAndMix::Written}));

    const cv::Mat result = readImage(target, cv::IMREAD_UNCHANGED);
    QCOMPARE(result.type(), CV_8UC4);
    cv::Mat colour;
    cv::cvtColor(result, colour, cv::COLOR_BGRA2BGR);
    QVERIFY(samePixels(colour, hiddenCleared(photoLike(800, 600, 3, 7), alphaOf(result))));
}

namespace {

// Little-endian fields for the formats written by hand below.
QByteArray le(quint64 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out += char(value >> (8 * i));
    return out;
}

// A BigTIFF whose first directory gives the size in LONG8 fields (type 16).
QByteArray bigTiff(quint64 width, quint64 height)
{
    return QByteArray("II\x2b\x00", 4) + le(8, 2) + le(0, 2) + le(16, 8) + le(2, 8) + le(256, 2) + le(16, 2) + le(1, 8)
           + le(width, 8) + le(257, 2) + le(16, 2) + le(1, 8) + le(height, 8);
}

// A classic TIFF whose first directory holds these (tag, type, value) entries, one value each.
QByteArray tiffWith(std::initializer_list<std::array<quint64, 3>> entries)
{
    QByteArray out = QByteArray("II\x2a\x00", 4) + le(8, 4) + le(entries.size(), 2);
    for (const auto &[tag, type, value] : entries)
        out += le(tag, 2) + le(type, 2) + le(1, 4) + le(value, 4);
    return out;
}

// A BMP with the 12-byte core header of OS/2.
QByteArray coreBmp(int width, int height)
{
    return QByteArray("BM", 2) + le(26, 4) + le(0, 4) + le(26, 4) + le(12, 4) + le(quint64(width), 2) + le(quint64(height), 2)
           + le(1, 2) + le(24, 2);
}

} // namespace

void TestCompositor::headersGiveTheSize_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("stored");  // what probe() reads; empty when the header is refused
    QTest::addColumn<QSize>("upright"); // what probeUpright() reads
    QTest::addColumn<bool>("alpha");    // a PNG with an alpha channel

    const QSize wide(1000, 37), tall(37, 1000);
    const cv::Mat colour = photoLike(1000, 37), withAlpha = cutoutLike(1000, 37);
    const auto encoded = [](const cv::Mat &image, const char *extension, std::vector<int> parameters = {}) {
        std::vector<uchar> bytes;
        cv::imencode(extension, image, bytes, parameters);
        return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
    };
    // Most headers: no EXIF turn, no alpha.
    const auto row = [](const char *name, const QByteArray &bytes, const QSize &stored, bool alpha = false) {
        QTest::newRow(name) << bytes << stored << stored << alpha;
    };
    const QByteArray jpeg = encoded(colour, ".jpg");
    row("JPEG", jpeg, wide);
    QTest::newRow("JPEG turned by EXIF orientation 6") << withExifOrientation(jpeg, 6) << wide << tall << false;
    QTest::newRow("JPEG transposed by EXIF orientation 5") << withExifOrientation(jpeg, 5) << wide << tall << false;
    row("JPEG mirrored by EXIF orientation 4 stays", withExifOrientation(jpeg, 4), wide);
    row("JPEG whose EXIF directory lists no entry", withExifOrientation(jpeg, 6).replace(20, 2, QByteArray(2, '\0')), wide);
    row("JPEG with EXIF orientation 3 stays", withExifOrientation(jpeg, 3), wide);
    row("JPEG with a restart marker before its frame", QByteArray(jpeg).insert(2, "\xff\xd0", 2), wide);
    row("JPEG with a stuffed zero before its frame", QByteArray(jpeg).insert(2, "\xff\x00\xff\x00", 4), wide);
    row("PNG with alpha", encoded(withAlpha, ".png"), wide, true);
    row("PNG without alpha", encoded(colour, ".png"), wide);
    row("grey PNG with alpha", encoded(cutoutLike(1000, 37), ".png").replace(25, 1, "\x04"), wide, true);
    row("WebP lossy", encoded(colour, ".webp", {cv::IMWRITE_WEBP_QUALITY, 80}), wide);
    row("WebP lossy with a broken start code",
        encoded(colour, ".webp", {cv::IMWRITE_WEBP_QUALITY, 80}).replace(24, 1, "\x02"), QSize());
    row("WebP lossless", encoded(colour, ".webp", {cv::IMWRITE_WEBP_QUALITY, 101}), wide);
    row("WebP extended, with alpha", encoded(withAlpha, ".webp", {cv::IMWRITE_WEBP_QUALITY, 80}), wide);
    row("TIFF", encoded(colour, ".tiff"), wide);
    row("BigTIFF with LONG8 sizes", bigTiff(70000, 3), QSize(70000, 3));
    row("TIFF whose directory lies beyond its end", QByteArray("II\x2a\x00", 4) + le(4096, 4), QSize());
    row("TIFF of its signature alone", QByteArray("II\x2a\x00", 4), QSize());
    row("TIFF with SLONG and SSHORT sizes", tiffWith({{256, 9, 300}, {257, 8, 200}}), QSize(300, 200));
    row("TIFF with a negative SLONG width", tiffWith({{256, 9, 0xffff8000}, {257, 3, 8}}), QSize());
    row("TIFF naming its width twice", tiffWith({{256, 9, 32768}, {257, 9, 32768}, {256, 3, 8}, {257, 3, 8}}), QSize());
    row("BMP", encoded(colour, ".bmp"), wide);
    const QByteArray heic = heifEncoded(colour);
    if (!heic.isEmpty()) {
        row("HEIC", heic, wide);
        QTest::newRow("HEIC turned a quarter by its irot") << withHeifTransform(heic, "irot", 1) << wide << tall << false;
        row("HEIC turned a half by its irot", withHeifTransform(heic, "irot", 2), wide);
        row("HEIC cut before its image data: no size, still HEIF", heic.left(heic.indexOf("mdat") + 8), QSize());
        row("AVIF", heifEncoded(colour, {QStringLiteral("-A")}), wide);
    }
    row("BMP with a core header", coreBmp(300, 200), QSize(300, 200));
    row("a side over 2^20", pngClaiming((1 << 20) + 1, 10), QSize(), true);
    row("a width of 0", pngClaiming(0, 10), QSize(), true);
    row("a side of exactly 2^20", pngClaiming(1 << 20, 10), QSize(1 << 20, 10), true);
}

void TestCompositor::headersGiveTheSize()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, stored);
    QFETCH(QSize, upright);
    QFETCH(bool, alpha);

    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    const auto size = std::size_t(bytes.size());
    const imageformat::Header header = imageformat::probe(data, size);
    QVERIFY(header.format != imageformat::Format::Unknown);
    QCOMPARE(QSize(header.width, header.height), stored.isValid() ? stored : QSize(0, 0));
    const imageformat::Header turned = imageformat::probeUpright(data, size);
    QCOMPARE(QSize(turned.width, turned.height), upright.isValid() ? upright : QSize(0, 0));
    QCOMPARE(imageformat::pngHasAlpha(data, size), alpha);
}

void TestCompositor::deflatesWhatZlibInflates_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("shortestRun"); // 0: literals only

    QByteArray noise(100000, 0), fibonacci, everyRun, skewed;
    cv::randu(cv::Mat(1, noise.size(), CV_8U, noise.data()), 0, 256);
    // Counts 1, 1, 2, 3, 5, ... for 21 symbols: a Huffman tree 20 deep, cut to 15.
    // Counts 1, 2, 3, 5, ... for 19 symbols, with the block's end's 1 a Huffman tree 19 deep,
    // cut to 15: once in each of the four pieces the writers are given. Then the same bytes
    // spread so that no two alike touch: no runs, so the literals still need the cut.
    QByteArray spread;
    for (int piece = 0; piece < 4; ++piece) {
        QByteArray counts;
        for (int s = 18, a = 6765, b = 4181; s >= 0; --s, std::swap(a, b), b = b - a)
            counts += QByteArray(a, char('a' + s));
        fibonacci += counts;
        QByteArray apart(counts.size(), 0);
        for (int i = 0; i < counts.size(); ++i) // the commonest first, every other place, then the rest
            apart[i < (counts.size() + 1) / 2 ? 2 * i : 2 * (i - (counts.size() + 1) / 2) + 1] = counts.at(i);
        spread += apart;
    }
    for (int length = 1; length <= 600; ++length) // every run length, and runs past the longest
        everyRun += QByteArray(length, char(length % 7)) + char(200);
    for (int i = 0; i < 70000; ++i)
        skewed += char(i % 97 == 0 ? i % 11 : 0);
    QTest::newRow("noise, stored") << noise << 0;
    QTest::newRow("noise with runs asked") << noise << 3;
    QTest::newRow("one byte") << QByteArray(1, 'x') << 3;
    QTest::newRow("one byte repeated") << QByteArray(5000, 'x') << 0;
    QTest::newRow("one byte repeated, another once") << QByteArray(5000, 'x').replace(1, 1, "y") << 0;
    QTest::newRow("one byte repeated, as runs, blocks of many bytes") << QByteArray(40'000'000, '\0') << 3;
    QTest::newRow("code lengths cut to 15 bits") << fibonacci << 0;
    QTest::newRow("code lengths cut, as runs") << spread << 3;
    QTest::newRow("every run length") << everyRun << 3;
    QTest::newRow("every run length, only the long ones copied") << everyRun << 8;
    QTest::newRow("zeros with a byte now and then") << skewed << 3;
}

void TestCompositor::deflatesWhatZlibInflates()
{
    QFETCH(QByteArray, data);
    QFETCH(int, shortestRun);

    // Two writers' pieces, the first ending open, join into one stream; a piece is added in
    // two calls, the second starting with what ended the first.
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.constData());
    const std::size_t half = std::size_t(data.size()) / 2, quarter = half / 2;
    std::vector<unsigned char> out(deflateblocks::bound(half, 2) + deflateblocks::bound(data.size() - half));
    deflateblocks::Writer first(out.data(), deflateblocks::bound(half, 2));
    QVERIFY(first.add(bytes, quarter, shortestRun) && first.add(bytes + quarter, half - quarter, shortestRun) && first.finish(false));
    deflateblocks::Writer second(out.data() + first.size(), out.size() - first.size());
    QVERIFY(second.add(bytes + half, data.size() - half, shortestRun) && second.finish(true));
    const std::size_t size = first.size() + second.size();
    if (data.size() > 1000)
        QVERIFY2(size <= std::size_t(data.size()) + 100, "never more than stored");

    z_stream stream{};
    QCOMPARE(inflateInit2(&stream, -15), Z_OK);
    QByteArray inflated(data.size() + 1, 0);
    stream.next_in = out.data();
    stream.avail_in = uInt(size);
    stream.next_out = reinterpret_cast<Bytef *>(inflated.data());
    stream.avail_out = uInt(inflated.size());
    const int status = inflate(&stream, Z_FINISH);
    inflateEnd(&stream);
    QCOMPARE(status, Z_STREAM_END);
    QCOMPARE(stream.avail_in, 0u); // the final block is the last thing written
    QVERIFY(inflated.left(int(stream.total_out)) == data);
    // With a byte less room than the whole takes, a writer says so, and writes nothing past it.
    std::vector<unsigned char> guarded(size + 64, 0xa5);
    deflateblocks::Writer cramped(guarded.data(), first.size() - 1);
    const bool fitted = cramped.add(bytes, quarter, shortestRun) && cramped.add(bytes + quarter, half - quarter, shortestRun)
                        && cramped.finish(false);
    QVERIFY(!fitted);
    QVERIFY(std::all_of(guarded.begin() + std::ptrdiff_t(first.size() - 1), guarded.end(), [](unsigned char b) { return b == 0xa5; }));
}

void TestCompositor::pngWriterRoundTrips_data()
{
    QTest::addColumn<cv::Size>("size");
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("rowsPerStripe"); // 0: the writer's own choice
    QTest::addColumn<bool>("clearHidden");

    QTest::newRow("one pixel") << cv::Size(1, 1) << 2 << 0 << false;
    QTest::newRow("hidden cleared, odd width, stripes of 4 rows on 3 threads") << cv::Size(33, 17) << 3 << 4 << true;
    QTest::newRow("hidden cleared, photo-sized") << cv::Size(1280, 960) << 0 << 0 << true;
    QTest::newRow("odd width, one thread") << cv::Size(33, 17) << 1 << 0 << false;
    QTest::newRow("odd width, stripes of 4 rows on 3 threads") << cv::Size(33, 17) << 3 << 4 << false;
    QTest::newRow("a single row") << cv::Size(1001, 1) << 2 << 0 << false;
    QTest::newRow("a single column") << cv::Size(1, 501) << 2 << 7 << false;
    QTest::newRow("more stripes than threads, one row each") << cv::Size(40, 9) << 2 << 1 << false;
    QTest::newRow("more stripes than rows asked for") << cv::Size(8, 3) << 8 << 1 << false;
    QTest::newRow("photo-sized, automatic stripes") << cv::Size(1280, 960) << 0 << 0 << false;
    QTest::newRow("tall, automatic stripes on one thread") << cv::Size(300, 3000) << 1 << 0 << false;
}

void TestCompositor::pngWriterRoundTrips()
{
    QFETCH(cv::Size, size);
    QFETCH(int, threads);
    QFETCH(int, rowsPerStripe);
    QFETCH(bool, clearHidden);

    const cv::Mat colour = photoLike(size.width, size.height, 3, 5);
    cv::Mat alpha = photoLike(size.width, size.height, 1, 6);
    alpha.rowRange(0, (size.height + 1) / 2).setTo(0); // colours under alpha 0 must survive
    if (clearHidden) { // rows cleared at both ends, below rows cleared all along
        alpha.colRange(0, size.width / 3).setTo(0);
        alpha.colRange(size.width * 2 / 3, size.width).setTo(0);
    }
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    pngwriter::Options options;
    options.threads = threads;
    options.rowsPerStripe = rowsPerStripe;
    options.clearHidden = clearHidden;
    QVERIFY(pngwriter::write(buffer, colour, alpha, options));
    const QByteArray png = buffer.data();

    cv::Mat expected;
    const cv::Mat planes[] = {clearHidden ? hiddenCleared(colour, alpha) : colour, alpha};
    cv::merge(planes, 2, expected);
    QVERIFY2(samePixels(cv::imdecode(cv::Mat(1, png.size(), CV_8U, const_cast<char *>(png.constData())),
                                     cv::IMREAD_UNCHANGED), expected), "OpenCV");
    QImage image = QImage::fromData(png, "PNG").convertToFormat(QImage::Format_ARGB32);
    QVERIFY2(samePixels(cv::Mat(image.height(), image.width(), CV_8UC4, image.bits(), size_t(image.bytesPerLine())),
                        expected), "Qt"); // ARGB32 is B, G, R, A in memory on little-endian machines
    QVERIFY2(samePixels(inflateByHand(png), expected), "zlib with the filter undone by hand");

    // Each row takes the filter whose output has the least sum of absolute values as signed
    // bytes, the first on a tie: on rows of 200s, the same again, and zeros, that is Sub (the
    // first pixel costs 56 a byte, the rest nothing), Up (nothing; Paeth ties later), None.
    QBuffer known;
    known.open(QIODevice::WriteOnly);
    cv::Mat knownColour(3, 8, CV_8UC3, cv::Scalar::all(200)), knownAlpha(3, 8, CV_8UC1, cv::Scalar(200));
    knownColour.row(2).setTo(0);
    knownAlpha.row(2).setTo(0);
    QVERIFY(pngwriter::write(known, knownColour, knownAlpha, options));
    QByteArray filters;
    QVERIFY(!inflateByHand(known.data(), &filters).empty());
    QCOMPARE(filters, QByteArray("\x01\x02\x00", 3));

    // Read back on every core, when its stripes are the writer's own choice; a file damaged
    // anywhere, or another writer's, is left to the usual decoder.
    const auto readBack = [&](const QByteArray &bytes, cv::Mat &readColour, cv::Mat &readAlpha) {
        return pngreader::read(reinterpret_cast<const unsigned char *>(bytes.constData()), std::size_t(bytes.size()),
                               readColour, readAlpha, threads);
    };
    cv::Mat readColour, readAlpha;
    QCOMPARE(readBack(png, readColour, readAlpha), rowsPerStripe == 0);
    if (rowsPerStripe == 0) {
        QVERIFY(samePixels(readColour, planes[0]) && samePixels(readAlpha, alpha));
        QByteArray damaged = png;
        damaged[damaged.size() - 40] = char(damaged.at(damaged.size() - 40) ^ 0x10);
        QVERIFY(!readBack(damaged, readColour, readAlpha));
        QVERIFY(!readBack(png.left(png.size() - 13), readColour, readAlpha));
        QVERIFY(!readBack(encode(expected, ".png"), readColour, readAlpha));
        // A checksum that disagrees, its chunk's CRC made good.
        QByteArray wrongSum = png;
        const int sumAt = png.size() - 12 - 8;
        wrongSum[sumAt] = char(wrongSum.at(sumAt) ^ 1);
        const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(wrongSum.constData() + sumAt - 4), 8);
        for (int i = 0; i < 4; ++i)
            wrongSum[sumAt + 4 + i] = char(crc >> (24 - 8 * i));
        QVERIFY(!readBack(wrongSum, readColour, readAlpha));
        // Every shorter copy, in a buffer of exactly its size, is refused (all but the end
        // chunk, which says nothing).
        for (int cut = 0; cut < png.size() - 12 && png.size() < 4096; ++cut) {
            const std::vector<unsigned char> prefix(png.begin(), png.begin() + cut);
            QVERIFY(!pngreader::read(prefix.data(), prefix.size(), readColour, readAlpha, threads));
        }
    }

    const QString pngcheck = QStandardPaths::findExecutable(QStringLiteral("pngcheck"));
    if (!pngcheck.isEmpty()) {
        const QString path = dir->filePath(QStringLiteral("checked.png"));
        QVERIFY(writeBytes(path, png));
        QProcess check;
        check.start(pngcheck, {QStringLiteral("-q"), path});
        QVERIFY(check.waitForFinished(30000));
        QVERIFY2(check.exitCode() == 0, check.readAllStandardOutput().constData());
    }
}

void TestCompositor::rendersTheVariant_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<cv::Point>("centre");
    QTest::addColumn<bool>("nothing");

    const cv::Point middle(60, 40), nearEdge(12, 40);
    QTest::newRow("on white") << QStringList{"--background=white"} << middle << false;
    QTest::newRow("on #102030") << QStringList{"--background=#102030"} << middle << false;
    QTest::newRow("a JPEG is laid on white") << QStringList{"--format=jpg"} << middle << false;
    QTest::newRow("cropped, transparent") << QStringList{"--crop"} << middle << false;
    QTest::newRow("cropped with 10 %, on black") << QStringList{"--crop=10", "--background=black"} << middle << false;
    QTest::newRow("margin past the photo's edge") << QStringList{"--crop=25", "--background=white"} << nearEdge << false;
    QTest::newRow("square from a wide photo") << QStringList{"--canvas=square"} << middle << false;
    QTest::newRow("cropped on a square, white") << QStringList{"--crop=5", "--canvas=square", "--background=white"} << middle << false;
    QTest::newRow("no subject is not cropped") << QStringList{"--crop", "--background=white"} << cv::Point(-100, -100) << true;
    QTest::newRow("cropped, shrunk onto 60x20, white") << QStringList{"--crop", "--canvas=60x20", "--background=white"} << middle << false;
    QTest::newRow("enlarged onto 500x200, transparent") << QStringList{"--canvas=500x200"} << middle << false;
}

void TestCompositor::rendersTheVariant()
{
    QFETCH(QStringList, arguments);
    QFETCH(cv::Point, centre);
    QFETCH(bool, nothing);

    const cv::Mat colour = photoLike(120, 80);
    const cv::Mat alpha = subjectAlpha(colour.size(), centre, 18);
    const OutputChoices choices = choicesOf(arguments);
    bool empty = !nothing;
    const cv::Mat rendered = variant::render(colour, alpha, choices, &empty);
    QCOMPARE(empty, nothing);
    cv::Mat expected = plainVariant(colour, alpha, choices);
    if (choices.canvas == OutputChoices::Canvas::Size) {
        // Scaled to fit, premultiplied when transparent, and centred on the canvas.
        const double scale = std::min(double(choices.canvasWidth) / expected.cols, double(choices.canvasHeight) / expected.rows);
        const cv::Size fitted(int(std::lround(expected.cols * scale)), int(std::lround(expected.rows * scale)));
        cv::Mat scaled;
        if (expected.channels() == 4)
            cv::cvtColor(expected, expected, cv::COLOR_RGBA2mRGBA);
        cv::resize(expected, scaled, fitted, 0, 0, scale < 1 ? cv::INTER_AREA : cv::INTER_LANCZOS4);
        if (expected.channels() == 4)
            cv::cvtColor(scaled, scaled, cv::COLOR_mRGBA2RGBA);
        cv::Mat canvas(choices.canvasHeight, choices.canvasWidth, expected.type(),
                       expected.channels() == 4 ? cv::Scalar::all(0) : cv::Scalar::all(255));
        scaled.copyTo(canvas(cv::Rect((canvas.cols - fitted.width) / 2, (canvas.rows - fitted.height) / 2, fitted.width, fitted.height)));
        expected = canvas;
    }
    QCOMPARE(rendered.cols, expected.cols);
    QCOMPARE(rendered.rows, expected.rows);
    QVERIFY(samePixels(rendered, expected));
}

using Probe = QPair<QPoint, QVector<int>>; // a pixel of the variant and its B, G, R (, A)

void TestCompositor::rendersKnownPixels_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("blank");         // no alpha anywhere
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QVector<Probe>>("probes");

    // The photo below: 8 x 6, pixel (x, y) = B 10x, G 20y, R 100; a subject of 3 x 2 at (3, 2).
    QTest::newRow("on white, whole") << QStringList{"--background=white"} << false << QSize(8, 6)
        << QVector<Probe>{{{0, 0}, {250, 250, 252}}, {{3, 2}, {30, 40, 100}}, {{5, 3}, {152, 157, 177}}, {{7, 5}, {255, 255, 255}}};
    QTest::newRow("cropped without a margin, transparent") << QStringList{"--crop=0"} << false << QSize(3, 2)
        << QVector<Probe>{{{0, 0}, {30, 40, 100, 255}}, {{2, 1}, {50, 60, 100, 128}}, {{2, 0}, {50, 40, 100, 0}}};
    QTest::newRow("a margin past the photo's edges, on black") << QStringList{"--crop=100", "--background=black"} << false
        << QSize(9, 8) << QVector<Probe>{{{0, 0}, {0, 0, 0}}, {{3, 3}, {30, 40, 100}}, {{1, 1}, {0, 0, 0}}, {{0, 1}, {0, 0, 2}}};
    QTest::newRow("cropped onto a square, transparent") << QStringList{"--crop=0", "--canvas=square"} << false << QSize(3, 3)
        << QVector<Probe>{{{0, 0}, {30, 40, 100, 255}}, {{0, 2}, {0, 0, 0, 0}}};
    QTest::newRow("no subject: not cropped") << QStringList{"--crop=0", "--background=white"} << true << QSize(8, 6)
        << QVector<Probe>{{{7, 5}, {255, 255, 255}}};
}

// Values worked out by hand: round((a·c + (255 − a)·b) / 255) on a background, the box of
// alpha over 10, a margin in per cent of its longer side, a square centred.
void TestCompositor::rendersKnownPixels()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, blank);
    QFETCH(QSize, size);
    QFETCH(QVector<Probe>, probes);

    cv::Mat colour(6, 8, CV_8UC3), alpha(6, 8, CV_8UC1, cv::Scalar(0));
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x)
            colour.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(10 * x), uchar(20 * y), 100);
    if (!blank) {
        alpha(cv::Rect(3, 2, 2, 2)).setTo(255);
        alpha.at<uchar>(3, 5) = 128;
        alpha.at<uchar>(0, 0) = 5; // faint noise: not subject
    }
    bool empty = !blank;
    const cv::Mat rendered = variant::render(colour, alpha, choicesOf(arguments), &empty);
    QCOMPARE(empty, blank);
    QCOMPARE(QSize(rendered.cols, rendered.rows), size);
    for (const Probe &probe : probes) {
        QVector<int> seen;
        for (int k = 0; k < rendered.channels(); ++k)
            seen << rendered.ptr<uchar>(probe.first.y(), probe.first.x())[k];
        QCOMPARE(seen, probe.second);
    }
}

void TestCompositor::makesTheFilesBesideTheMaster_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("masterName");
    QTest::addColumn<QStringList>("madeNames");

    QTest::newRow("white, cropped, square JPEG and a mask")
        << QStringList{"--format=jpg", "--crop", "--canvas=square", "--mask"} << "p.jpg-no-bg.png"
        << QStringList{"p.jpg-no-bg.bg-white.crop3.square.jpg", "p.jpg-no-bg.mask.png"};
    QTest::newRow("PNG on a colour") << QStringList{"--background=#336699"} << "p.jpg-no-bg.png"
                                     << QStringList{"p.jpg-no-bg.bg-336699.png"};
    QTest::newRow("transparent WebP at quality 80") << QStringList{"--format=webp", "--quality=80"} << "p.jpg-no-bg.png"
                                                    << QStringList{"p.jpg-no-bg.q80.webp"};
    QTest::newRow("a single file named .jpg is a JPEG on white") << QStringList{} << "out.jpg" << QStringList{};
    QTest::newRow("small PNGs") << QStringList{"--png=small", "--crop"} << "p.jpg-no-bg.png"
                                << QStringList{"p.jpg-no-bg.crop3.png"};
}

void TestCompositor::makesTheFilesBesideTheMaster()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, masterName);
    QFETCH(QStringList, madeNames);

    const QString origin = dir->filePath(QStringLiteral("p.jpg"));
    const QString master = dir->filePath(masterName);
    const QByteArray photo = encode(photoLike(160, 120), ".jpg");
    cv::Mat cutout = cutoutLike(40, 30);
    QVERIFY(writeBytes(origin, photo));
    QVERIFY(writeBytes(master, encode(cutout, ".png")));
    const OutputChoices choices = choicesOf(arguments);

    const ScaleAndMix::Report report = makeComposite(origin, master, choices, false);
    QCOMPARE(report.outcome, ScaleAndMix::Written);
    QStringList made;
    for (const QString &path : report.written)
        made << QFileInfo(path).fileName();
    QCOMPARE(made, madeNames);

    // What the master holds, found without the code under test: the photo's pixels under the
    // cut-out's alpha, scaled with Lanczos, black where it is 0.
    cv::Mat alpha;
    cv::resize(alphaOf(cutout), alpha, uprightColour(Source::Jpeg, photo).size(), 0, 0, cv::INTER_LANCZOS4);
    const cv::Mat colour = hiddenCleared(uprightColour(Source::Jpeg, photo), alpha);
    const bool jpegMaster = masterName.endsWith(QLatin1String(".jpg"));
    const cv::Mat stored = readImage(master, cv::IMREAD_UNCHANGED);
    if (jpegMaster) {
        QCOMPARE(readBytes(master).left(2), QByteArray("\xff\xd8"));
        const double error = cv::norm(stored, plainVariant(colour, alpha, choicesOf({"--background=white"})), cv::NORM_L1);
        QVERIFY2(error < 6.0 * stored.total() * 3, qPrintable(QString::number(error / stored.total())));
    } else {
        QVERIFY(samePixels(stored, plainVariant(colour, alpha, {})));
    }
    for (const QString &path : report.written) {
        const cv::Mat file = readImage(path, cv::IMREAD_UNCHANGED);
        if (path.endsWith(QLatin1String(".mask.png"))) {
            QVERIFY(samePixels(file, alpha));
            continue;
        }
        const cv::Mat expected = plainVariant(colour, alpha, choices);
        QCOMPARE(file.cols, expected.cols);
        QCOMPARE(file.rows, expected.rows);
        if (path.endsWith(QLatin1String(".png"))) {
            cv::Mat opaque = file;
            if (expected.channels() == 3)
                cv::cvtColor(file, opaque, cv::COLOR_BGRA2BGR);
            QVERIFY(samePixels(opaque, expected));
        } else {
            // Lossy: within a few levels on average, as seen (colours under alpha 0 are dropped).
            QCOMPARE(file.channels(), expected.channels());
            const auto seen = [](const cv::Mat &image) {
                cv::Mat premultiplied = image;
                if (image.channels() == 4)
                    cv::cvtColor(image, premultiplied, cv::COLOR_RGBA2mRGBA);
                return premultiplied;
            };
            const double error = cv::norm(seen(file), seen(expected), cv::NORM_L1) / expected.total() / expected.channels();
            QVERIFY2(error < 6, qPrintable(QString::number(error)));
        }
    }

    // Made again later from the master alone: the same files, and the master untouched.
    const QByteArray masterBytes = readBytes(master);
    for (const QString &path : report.written)
        QVERIFY(QFile::remove(path));
    QVERIFY(QFile::remove(origin));
    const ScaleAndMix::Report again = makeComposite(origin, master, choices, true);
    QCOMPARE(again.outcome, jpegMaster ? ScaleAndMix::MasterUnreadable : ScaleAndMix::Written);
    QCOMPARE(again.written, jpegMaster ? QStringList() : report.written);
    QCOMPARE(readBytes(master), masterBytes);
}

// A photo named as the variant of its own master would be: the master is made, the photo stays.
void TestCompositor::neverWritesOverThePhoto()
{
    const QString origin = dir->filePath(QStringLiteral("shop-no-bg.bg-white.jpg"));
    const QString master = dir->filePath(QStringLiteral("shop.png"));
    const QByteArray photo = encode(photoLike(80, 60), ".jpg");
    QVERIFY(writeBytes(origin, photo));
    QVERIFY(writeBytes(master, encode(cutoutLike(20, 15), ".png")));
    const ScaleAndMix::Report report = makeComposite(origin, master, choicesOf({"--format=jpg"}), false);
    QCOMPARE(report.outcome, ScaleAndMix::OtherFileOnPhoto);
    QCOMPARE(readBytes(origin), photo);
    QCOMPARE(readImage(master, cv::IMREAD_UNCHANGED).size(), cv::Size(80, 60));
}

void TestCompositor::namesTheFiles_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("master");
    QTest::addColumn<QString>("variant");
    QTest::addColumn<QString>("mask");

    QTest::newRow("folder result") << QStringList{"--background=white", "--mask"} << "/o/a.jpg-no-bg.png"
                                   << "/o/a.jpg-no-bg.bg-white.png" << "/o/a.jpg-no-bg.mask.png";
    QTest::newRow("single file of the user's naming") << QStringList{"--format=jpg", "--quality=75"} << "/o/shop.png"
                                                      << "/o/shop-no-bg.bg-white.q75.jpg" << "";
    QTest::newRow("proposed single file") << QStringList{"--crop=2.5", "--canvas=1200x800"} << "/o/a.jpg-no-bg-small.png"
                                          << "/o/a.jpg-no-bg-small.crop2.5.1200x800.png" << "";
    QTest::newRow("WebP, transparent") << QStringList{"--format=webp"} << "/o/a.png-no-bg.png" << "/o/a.png-no-bg.webp" << "";
    QTest::newRow("a master of another format keeps its suffix") << QStringList{"--crop", "--mask"} << "/o/shop.webp"
                                                                 << "/o/shop.webp-no-bg.crop3.png" << "/o/shop.webp-no-bg.mask.png";
    QTest::newRow("mask alone") << QStringList{"--mask"} << "/o/a.png-no-bg.png" << "" << "/o/a.png-no-bg.mask.png";
    QTest::newRow("compression alone makes no file") << QStringList{"--png=small"} << "/o/a.png-no-bg.png" << "" << "";
}

void TestCompositor::namesTheFiles()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, master);
    QFETCH(QString, variant);
    QFETCH(QString, mask);

    const OutputChoices choices = choicesOf(arguments);
    QCOMPARE(outputnames::variantPath(master, choices), variant);
    QCOMPARE(outputnames::maskPath(master, choices), mask);
    // A folder scan knows them as the program's own; a photo's name is not taken for one.
    for (const QString &path : {variant, mask})
        QVERIFY(path.isEmpty() || outputnames::isOwnResult(QFileInfo(path).fileName()));
    QVERIFY(!outputnames::isOwnResult(QStringLiteral("no-bg.jpg")));
    QVERIFY(!outputnames::isOwnResult(QStringLiteral("cat-no-bg.holiday.jpg")));
    QVERIFY(!outputnames::isOwnResult(QStringLiteral("cat-no-bg.jpg")));
    QCOMPARE(choicesOf(choices.arguments()), choices);
}

void TestCompositor::readsTheChoices_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("argument"); // as arguments() gives it back; empty: refused

    QTest::newRow("white") << "background" << "White" << "--background=white";
    QTest::newRow("hex colour") << "background" << "#A0b1C2" << "--background=#a0b1c2";
    QTest::newRow("short hex colour") << "background" << "#fff" << "";
    QTest::newRow("colour name unknown") << "background" << "teal" << "";
    QTest::newRow("jpeg") << "format" << "jpeg" << "--format=jpg";
    QTest::newRow("gif") << "format" << "gif" << "";
    QTest::newRow("quality 1") << "quality" << "1" << "--quality=1";
    QTest::newRow("quality 0") << "quality" << "0" << "";
    QTest::newRow("quality 101") << "quality" << "101" << "";
    QTest::newRow("quality 9.5") << "quality" << "9.5" << "";
    QTest::newRow("crop alone") << "crop" << "" << "--crop=3";
    QTest::newRow("crop 0") << "crop" << "0" << "--crop=0";
    QTest::newRow("crop negative") << "crop" << "-1" << "";
    QTest::newRow("crop nan") << "crop" << "nan" << "";
    QTest::newRow("crop minus zero") << "crop" << "-0" << "--crop=0";
    QTest::newRow("crop to a tenth") << "crop" << "2.345" << "--crop=2.3";
    QTest::newRow("canvas square") << "canvas" << "square" << "--canvas=square";
    QTest::newRow("canvas size") << "canvas" << "1000x1000" << "--canvas=1000x1000";
    QTest::newRow("canvas zero wide") << "canvas" << "0x10" << "";
    QTest::newRow("canvas past 250 MP") << "canvas" << "20000x20000" << "";
    QTest::newRow("canvas round") << "canvas" << "round" << "";
    QTest::newRow("png small") << "png" << "small" << "--png=small";
    QTest::newRow("png huge") << "png" << "huge" << "";
    QTest::newRow("edges clean") << "edges" << "clean" << "--edges=clean";
    QTest::newRow("edges refine") << "edges" << "Refine" << "--edges=refine";
    QTest::newRow("edges blur") << "edges" << "blur" << "";
    QTest::newRow("hidden keep") << "hidden" << "keep" << "--hidden=keep";
}

void TestCompositor::readsTheChoices()
{
    QFETCH(QString, option);
    QFETCH(QString, value);
    QFETCH(QString, argument);

    OutputChoices choices;
    const QString error = choices.set(option, value);
    QCOMPARE(error.isEmpty(), !argument.isEmpty());
    QCOMPARE(choices.arguments(), argument.isEmpty() ? QStringList() : QStringList{argument});
    if (!error.isEmpty())
        QVERIFY2(error.startsWith(QStringLiteral("--%1 gives \"%2\"; ").arg(option, value)), qPrintable(error));
}

void TestCompositor::readsTheShippedPresets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QList<int>>("sizes"); // size, minimum, maximum
    QTest::addColumn<double>("megabytes");

    QTest::newRow("amazon: 1000 to 2000, 10 MB") << "amazon" << QList<int>{2000, 1000, 2000} << 10.0;
    QTest::newRow("walmart: 2200, at least 1500, 5 MB") << "walmart" << QList<int>{2200, 1500, 0} << 5.0;
    QTest::newRow("shopify: 2048") << "shopify" << QList<int>{2048, 800, 0} << 0.0;
    QTest::newRow("etsy: 2000, at least 1000") << "etsy" << QList<int>{2000, 1000, 0} << 0.0;
    QTest::newRow("ebay: 1600, at least 500") << "ebay" << QList<int>{1600, 500, 0} << 0.0;
}

void TestCompositor::readsTheShippedPresets()
{
    QFETCH(QString, name);
    QFETCH(QList<int>, sizes);
    QFETCH(double, megabytes);

    const OutputChoices choices = choicesOf({"--preset=" + name});
    QCOMPARE(choices.preset.name, name);
    QCOMPARE((QList<int>{choices.preset.size, choices.preset.minimum, choices.preset.maximum}), sizes);
    QCOMPARE(choices.preset.fill, 85.0);
    QCOMPARE(choices.preset.fileMegabytes, megabytes);
    // Every one a white square JPEG in sRGB.
    QVERIFY(choices.hasBackground && choices.background == 0xffffff);
    QCOMPARE(choices.format, OutputChoices::Format::Jpeg);
    QCOMPARE(choices.colour, OutputChoices::Colour::Srgb);
    QCOMPARE(choices.arguments(), QStringList{"--preset=" + name});
    // An option after it changes it, and is kept beside its name.
    QCOMPARE(choicesOf({"--preset=" + name, "--quality=80"}).arguments(), (QStringList{"--preset=" + name, "--quality=80"}));
    QCOMPARE(choicesOf({"--preset=" + name, "--colour=keep"}).arguments(), (QStringList{"--preset=" + name, "--colour=keep"}));
}

void TestCompositor::refusesABadPresetFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("refusal"); // after "shop.ini, line "; empty: read

    QTest::newRow("a negative size") << QByteArray("[a]\nfill = 85\nsize = -5\n")
                                     << "3: size gives \"-5\"; it must be a whole number of pixels from 1 to 15000";
    QTest::newRow("a fill over 100 per cent") << QByteArray("# mine\n[a]\nsize = 1000\nfill = 100.5\n")
                                              << "4: fill gives \"100.5\"; it must be a number of per cent over 0 and at most 100";
    QTest::newRow("an unknown colour") << QByteArray("[a]\nbackground = teal\n")
                                       << "2: background gives \"teal\"; it must be white, black or #rrggbb";
    QTest::newRow("a name given twice, in other letters") << QByteArray("[a]\nsize=900\nfill=80\n\n[A]\nsize=900\nfill=80\n")
                                                          << "5: [a] is given twice";
    QTest::newRow("a key given twice") << QByteArray("[a]\nsize=900\nsize=800\n") << "3: size is given twice";
    QTest::newRow("a size past its maximum") << QByteArray("[a]\nsize = 2000\nmaximum = 1500\nfill = 85\n")
                                             << "1: [a] has a size outside its minimum and maximum";
    QTest::newRow("a preset without a fill") << QByteArray("[a]\nsize = 2000\n[b]\nsize=1\nfill=1\n") << "1: [a] needs a size and a fill";
    QTest::newRow("a key before any name") << QByteArray("size = 5\n") << "1: size comes before any [name]";
    QTest::newRow("an unknown key") << QByteArray("[a]\nsize=9\nfill=9\nborder = 3\n") << "4: border is not a preset's key";
    QTest::newRow("a crop is the preset's own") << QByteArray("[a]\nsize=9\nfill=9\ncrop = 3\n") << "4: crop is not a preset's key";
    QTest::newRow("two of their own, read") << QByteArray("[a]\r\nsize=900\r\nfill=80\r\nformat = WebP\n; note\n[b_2]\nfill=9.5\nsize=9\nfile-size=0.5\n")
                                            << "";
}

void TestCompositor::refusesABadPresetFile()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, refusal);

    QString error = QStringLiteral("not cleared");
    const QVector<Preset> read = presets::parse(text, QStringLiteral("shop.ini"), &error);
    QCOMPARE(error, refusal.isEmpty() ? QString() : QStringLiteral("shop.ini, line ") + refusal);
    QCOMPARE(read.isEmpty(), !refusal.isEmpty());
    // What is read is written back the same.
    if (!read.isEmpty())
        QCOMPARE(presets::parse(presets::text(read), QStringLiteral("again"), &error), read);
}

void TestCompositor::framesAtThePresetsShare_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("subjectSide");
    QTest::addColumn<int>("canvasSide");
    QTest::addColumn<double>("scale");

    QTest::newRow("a 1600 px subject for amazon: 1600 / 0.85, not scaled up") << "amazon" << 1600 << 1882 << 1.0;
    QTest::newRow("exactly the share of 2000") << "amazon" << 1700 << 2000 << 1.0;
    QTest::newRow("pixels to spare: scaled down to 85 % of 2000") << "amazon" << 4000 << 2000 << 0.425;
    QTest::newRow("a small subject, below the minimum, not scaled up") << "amazon" << 544 << 640 << 1.0;
    QTest::newRow("walmart's 2200") << "walmart" << 1870 << 2200 << 1.0;
    QTest::newRow("ebay's 1600 from 3000") << "ebay" << 3000 << 1600 << 1600 * 0.85 / 3000;
    QTest::newRow("a single pixel") << "ebay" << 1 << 1 << 1.0;
}

void TestCompositor::framesAtThePresetsShare()
{
    QFETCH(QString, name);
    QFETCH(int, subjectSide);
    QFETCH(int, canvasSide);
    QFETCH(double, scale);

    const presets::Frame frame = presets::frameFor(choicesOf({"--preset=" + name}).preset, subjectSide);
    QCOMPARE(frame.side, canvasSide);
    QCOMPARE(frame.scale, scale);
}

void TestCompositor::scalesTheFramedSubjectDownByArea_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<cv::Size>("size");

    QTest::newRow("ebay, 3000 wide: 0.453") << "ebay" << cv::Size(3000, 1900);
    QTest::newRow("amazon, an odd 2411 tall: 0.705") << "amazon" << cv::Size(1503, 2411);
}

// As OpenCV's area resize of the premultiplied subject gives it, to a level or two; a colour
// under alpha 0 (red, here) never bleeds into the edge.
void TestCompositor::scalesTheFramedSubjectDownByArea()
{
    QFETCH(QString, name);
    QFETCH(cv::Size, size);

    cv::Mat colour = photoLike(size.width, size.height), alpha = photoLike(size.width, size.height, 1, 3);
    const cv::Rect hidden(size.width / 3, 0, size.width / 5, size.height);
    alpha(hidden).setTo(0);
    colour(hidden).setTo(cv::Scalar(0, 0, 255));
    alpha.row(0).setTo(255); // the subject is the whole frame
    const OutputChoices choices = choicesOf({"--preset=" + name});
    const cv::Mat made = variant::render(colour, alpha, choices);

    const presets::Frame frame = presets::frameFor(choices.preset, std::max(size.width, size.height));
    const cv::Size scaled(int(std::lround(size.width * frame.scale)), int(std::lround(size.height * frame.scale)));
    cv::Mat subject, premultiplied, small, expected;
    const cv::Mat parts[] = {colour, alpha};
    cv::merge(parts, 2, subject);
    cv::cvtColor(subject, premultiplied, cv::COLOR_RGBA2mRGBA);
    cv::resize(premultiplied, small, scaled, 0, 0, cv::INTER_AREA);
    cv::Mat white(scaled, CV_8UC3, cv::Scalar::all(255)), smallPlanes[4];
    cv::split(small, smallPlanes);
    cv::merge(smallPlanes, 3, expected);
    cv::Mat uncovered;
    cv::cvtColor(255 - smallPlanes[3], uncovered, cv::COLOR_GRAY2BGR);
    expected += uncovered; // premultiplied colour over white
    const cv::Rect at((frame.side - scaled.width) / 2, (frame.side - scaled.height) / 2, scaled.width, scaled.height);
    QCOMPARE(made.size(), cv::Size(frame.side, frame.side));
    QVERIFY(cv::norm(made(at), expected, cv::NORM_INF) <= 3);
}

void TestCompositor::convertsToSrgbAsLittleCmsDoes()
{
    const QByteArray profile = wideGamutProfile();
    const cv::Mat colour = photoLike(64, 48);
    const QString origin = dir->filePath(QStringLiteral("p.png"));
    const QString master = dir->filePath(QStringLiteral("p.png-no-bg.png"));
    QVERIFY(writeBytes(origin, pngWithProfile(colour, profile)));
    QVERIFY(writeBytes(master, encode(cv::Mat(12, 16, CV_8UC4, cv::Scalar(0, 0, 0, 255)), ".png")));

    const ScaleAndMix::Report report = makeComposite(origin, master, choicesOf({"--colour=srgb", "--background=white"}), false);
    QCOMPARE(report.outcome, ScaleAndMix::Written);
    QCOMPARE(report.written, QStringList{dir->filePath(QStringLiteral("p.png-no-bg.bg-white.srgb.png"))});

    // Little CMS's own transform of the patch, relative colorimetric with black-point compensation.
    cmsHPROFILE wide = cmsOpenProfileFromMem(profile.constData(), cmsUInt32Number(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform = cmsCreateTransform(wide, TYPE_BGR_8, srgb, TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC,
                                                 cmsFLAGS_BLACKPOINTCOMPENSATION);
    cv::Mat expected = colour.clone();
    cmsDoTransform(transform, expected.data, expected.data, cmsUInt32Number(expected.total()));
    cmsDeleteTransform(transform);
    cmsCloseProfile(srgb);
    cmsCloseProfile(wide);
    QVERIFY(!samePixels(expected, colour) && samePixels(readImage(report.written.value(0), cv::IMREAD_COLOR), expected));
    const QByteArray variant = readBytes(report.written.value(0));
    const auto profileOf = [](const QByteArray &bytes) {
        const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
        return photometadata::read(data, std::size_t(bytes.size())).profile;
    };
    QVERIFY(profileOf(variant) == colourspace::srgbProfile() && colourspace::srgbProfile().size() < 4096);
    // The master keeps the photo's own colours.
    QVERIFY(profileOf(readBytes(master)) == std::vector<unsigned char>(profile.begin(), profile.end()));
    QVERIFY(samePixels(readImage(master, cv::IMREAD_COLOR), colour));
}

void TestCompositor::checksAPresetsFileAsWritten_data()
{
    QTest::addColumn<QSize>("photoSize");
    QTest::addColumn<QRect>("subject"); // opaque, in the photo's pixels; empty: none
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QString>("checks");

    const QByteArray wide = wideGamutProfile();
    // Looks like a profile to its first bytes; Little CMS finds nothing to convert with.
    QByteArray hollow(132, '\0');
    hollow.replace(0, 4, QByteArray("\0\0\0\x84", 4)).replace(12, 8, "mntrRGB ").replace(36, 4, "acsp");

    QTest::newRow("a 2400 x 1800 photo whose subject is 1600 wide")
        << QSize(2400, 1800) << QRect(400, 400, 1600, 1000) << wide
        << "format ok JPG | size ok 1882 像素 | background ok 边缘全是背景色 | fill ok 主体占画面 85.3%，amazon 要求 85.0% | colour ok sRGB | file-size ok 0.1 MB";
    QTest::newRow("a small photo") << QSize(600, 450) << QRect(30, 40, 544, 300) << QByteArray()
                                   << "format ok JPG | size short 只有 640 像素，amazon 要求至少 1000 | background ok 边缘全是背景色 | fill ok 主体占画面 85.3%，amazon 要求 85.0% | colour ok sRGB | file-size ok 0.0 MB";
    QTest::newRow("a profile Little CMS cannot use") << QSize(1300, 1000) << QRect(100, 100, 1000, 700) << hollow
                                                     << "format ok JPG | size ok 1176 像素 | background ok 边缘全是背景色 | fill ok 主体占画面 85.1%，amazon 要求 85.0% | colour short 颜色空间未知 | file-size ok 0.0 MB";
    QTest::newRow("no subject") << QSize(300, 200) << QRect() << QByteArray() << "subject short 没有主体，没有放上画布";
    QTest::newRow("a preset of the whole frame: the subject on the border")
        << QSize(1100, 800) << QRect(50, 50, 1000, 700) << QByteArray()
        << "format ok JPG | size ok 1000 像素 | background short 边缘有 1436 个像素不是背景色 | fill ok 主体占画面 100.0%，amazon 要求 100.0% | colour ok sRGB | file-size ok 0.0 MB";
}

void TestCompositor::checksAPresetsFileAsWritten()
{
    QFETCH(QSize, photoSize);
    QFETCH(QRect, subject);
    QFETCH(QByteArray, profile);
    QFETCH(QString, checks);

    const QString origin = dir->filePath(QStringLiteral("p.png"));
    const QString master = dir->filePath(QStringLiteral("p.png-no-bg.png"));
    const cv::Mat colour(photoSize.height(), photoSize.width(), CV_8UC3, cv::Scalar(40, 90, 160));
    QVERIFY(writeBytes(origin, profile.isEmpty() ? encode(colour, ".png") : pngWithProfile(colour, profile)));
    cv::Mat cutout(photoSize.height(), photoSize.width(), CV_8UC4, cv::Scalar(40, 90, 160, 0));
    if (!subject.isEmpty())
        cutout(cv::Rect(subject.x(), subject.y(), subject.width(), subject.height())).setTo(cv::Scalar(40, 90, 160, 255));
    QVERIFY(writeBytes(master, encode(cutout, ".png")));

    OutputChoices choices = choicesOf({"--preset=amazon"});
    choices.preset.fill = QByteArray(QTest::currentDataTag()).contains("whole frame") ? 100 : 85;
    const ScaleAndMix::Report report = makeComposite(origin, master, choices, false);
    QCOMPARE(report.outcome, ScaleAndMix::Written);
    QCOMPARE(checksText(report.checks), checks);
    const QString file = dir->filePath(QStringLiteral("p.png-no-bg.for-amazon.jpg"));
    QCOMPARE(report.written, subject.isEmpty() ? QStringList() : QStringList{file});
    if (subject.isEmpty())
        return;
    // The subject's longer side at scale 1 where the photo has no more pixels, centred.
    const cv::Mat written = readImage(file, cv::IMREAD_COLOR);
    const int side = written.cols;
    const int longer = std::max(subject.width(), subject.height());
    const int placed = std::min(longer, int(std::lround(2000 * choices.preset.fill / 100)));
    QCOMPARE(side, std::min(2000, int(std::floor(longer / (choices.preset.fill / 100)))));
    if (placed == side)
        return;
    QCOMPARE(written.at<cv::Vec3b>(side / 2, (side - placed) / 2 - 20), cv::Vec3b(255, 255, 255));
}

QTEST_GUILESS_MAIN(TestCompositor)
#include "tst_compositor.moc"
