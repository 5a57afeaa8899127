#include "colourspace.h"
#include "composite.h"
#include "photometadata.h"
#include "provenance.h"
#include "scaleandmix.h"
#include "testimages.h"

#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <zlib.h>

namespace {

QByteArray u16(quint32 value, bool bigEndian = true)
{
    const char a = char(value >> 8), b = char(value);
    return bigEndian ? QByteArray(1, a) + b : QByteArray(1, b) + a;
}

QByteArray u32(quint32 value, bool bigEndian = true)
{
    return bigEndian ? u16(value >> 16) + u16(value) : u16(value, false) + u16(value >> 16, false);
}

quint32 valueAt(const QByteArray &bytes, int at, int length, bool bigEndian = true)
{
    quint32 value = 0;
    for (int i = 0; i < length; ++i)
        value |= quint32(uchar(bytes[at + i])) << 8 * (bigEndian ? length - 1 - i : i);
    return value;
}

std::vector<unsigned char> vec(const QByteArray &bytes) { return {bytes.begin(), bytes.end()}; }
QByteArray qba(const std::vector<unsigned char> &bytes) { return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())); }

photometadata::Metadata readBytes(const QByteArray &bytes)
{
    return photometadata::read(reinterpret_cast<const unsigned char *>(bytes.constData()), std::size_t(bytes.size()));
}

// OpenCV reads no HEIF: libheif's own tool does.
cv::Mat decoded(const QByteArray &bytes)
{
    const cv::Mat image = cv::imdecode(cv::Mat(1, bytes.size(), CV_8U, const_cast<char *>(bytes.constData())), cv::IMREAD_UNCHANGED);
    return image.empty() ? heifConverted(bytes) : image;
}

bool samePixels(const cv::Mat &a, const cv::Mat &b)
{
    return !a.empty() && a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Little CMS's own sRGB profile, patterned after its tags up to `size` bytes so that pieces
// joined in the wrong order show, its size field saying so. Below the real profile's size, a
// profile to a header check only: its size, "acsp" and a tag count.
QByteArray iccProfile(int size, quint32 tags = 0, int seed = 0)
{
    const std::vector<unsigned char> &srgb = colourspace::srgbProfile();
    QByteArray profile(size, '\0');
    for (int i = 0; i < size; ++i)
        profile[i] = char(i * 7 + i / 251 + seed);
    if (size >= int(srgb.size())) {
        profile.replace(0, int(srgb.size()), QByteArray(reinterpret_cast<const char *>(srgb.data()), int(srgb.size())));
        return profile.replace(0, 4, u32(quint32(size)));
    }
    profile.replace(0, 4, u32(quint32(size)));
    // The fields libpng checks: version, class, colour spaces, signature, intent, D50 white.
    profile.replace(8, 16, u32(0x02100000) + "mntrRGB XYZ ");
    profile.replace(36, 4, "acsp");
    profile.replace(64, 16, u32(0) + u32(0xf6d6) + u32(0x10000) + u32(0xd32d));
    profile.replace(128, 4, u32(tags));
    for (int at = 132; at + 12 <= std::min<qint64>(size, 132 + 12 * qint64(tags)); at += 12)
        profile.replace(at, 12, u32(0x74657374) + u32(132 + 12 * tags) + u32(0)); // empty tags after the table
    return profile;
}

// The profile with every tag's data moved past its end, as a hostile file has it.
QByteArray tagsOutside(QByteArray profile)
{
    const int tags = int(valueAt(profile, 128, 4));
    for (int i = 0; i < tags && 132 + 12 * i + 12 <= profile.size(); ++i)
        profile.replace(132 + 12 * i + 4, 4, u32(quint32(profile.size()) + 16));
    return profile;
}

QByteArray jpegPhoto() { return encode(photoLike(40, 30), ".jpg"); }

QByteArray segment(int marker, const QByteArray &payload)
{
    return QByteArray(1, '\xff') + char(marker) + u16(quint32(payload.size() + 2)) + payload;
}

QByteArray iccSegment(int sequence, int count, const QByteArray &piece)
{
    return segment(0xe2, QByteArray("ICC_PROFILE\0", 12) + char(sequence) + char(count) + piece);
}

QByteArray afterApp0(const QByteArray &jpeg, const QByteArray &segments)
{
    const int at = 4 + int(valueAt(jpeg, 4, 2));
    return jpeg.left(at) + segments + jpeg.mid(at);
}

QByteArray withJfif(QByteArray jpeg, int units, int x, int y)
{
    jpeg[13] = char(units);
    return jpeg.replace(14, 4, u16(quint32(x)) + u16(quint32(y)));
}

QByteArray pngChunk(const char *type, const QByteArray &data)
{
    const QByteArray body = type + data;
    return u32(quint32(data.size())) + body + u32(quint32(crc32(0, reinterpret_cast<const Bytef *>(body.constData()), uInt(body.size()))));
}

QByteArray zlibbed(const QByteArray &data)
{
    uLongf size = compressBound(uLong(data.size()));
    QByteArray out(int(size), '\0');
    compress2(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(data.constData()), uLong(data.size()), 9);
    return out.left(int(size));
}

// A zlib stream of that many zeros, made a megabyte at a time.
QByteArray zlibbedZeros(qint64 count)
{
    const QByteArray zeros(1 << 20, '\0');
    z_stream stream{};
    deflateInit(&stream, 1);
    QByteArray out;
    char buffer[1 << 16];
    for (qint64 left = count; left > 0;) {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.constData()));
        stream.avail_in = uInt(std::min<qint64>(left, zeros.size()));
        left -= stream.avail_in;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, left > 0 ? Z_NO_FLUSH : Z_FINISH);
            out.append(buffer, int(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return out;
}

QByteArray iccpChunk(const QByteArray &profile) { return pngChunk("iCCP", QByteArray("ICC Profile\0\0", 13) + zlibbed(profile)); }

QByteArray pngPhoto(const QByteArray &afterIhdr = {}, const QByteArray &beforeIend = {})
{
    const QByteArray png = encode(photoLike(20, 10), ".png");
    return png.left(33) + afterIhdr + png.mid(33, png.size() - 45) + beforeIend + png.right(12);
}

QByteArray webpPhoto(int channels, int quality)
{
    std::vector<uchar> bytes;
    cv::imencode(".webp", photoLike(37, 23, channels), bytes, {cv::IMWRITE_WEBP_QUALITY, quality});
    return qba(bytes);
}

// The simple file made extended by hand: VP8X, then the ICCP chunk, then its image chunk.
QByteArray extendedWebp(const QByteArray &simple, const QByteArray &profile)
{
    const QByteArray vp8x = "VP8X" + u32(10, false) + QByteArray("\x20\0\0\0", 4) + u32(36, false).left(3) + u32(22, false).left(3);
    const QByteArray body = "WEBP" + vp8x + "ICCP" + u32(quint32(profile.size()), false) + profile
                            + QByteArray(profile.size() & 1, '\0') + simple.mid(12);
    return "RIFF" + u32(quint32(body.size()), false) + body;
}

struct Entry
{
    quint16 tag, type;
    quint32 count;
    QByteArray value;
};

// A first directory and the values that do not fit in its entries, after it.
QByteArray tiff(bool bigEndian, const QVector<Entry> &entries)
{
    QByteArray directory = u16(quint32(entries.size()), bigEndian), values;
    const int valuesAt = 8 + 2 + 12 * entries.size() + 4;
    for (const Entry &entry : entries) {
        directory += u16(entry.tag, bigEndian) + u16(entry.type, bigEndian) + u32(entry.count, bigEndian);
        if (entry.value.size() <= 4) {
            directory += entry.value.leftJustified(4, '\0');
        } else {
            directory += u32(quint32(valuesAt + values.size()), bigEndian);
            values += entry.value + QByteArray(entry.value.size() & 1, '\0');
        }
    }
    return QByteArray(bigEndian ? "MM\0*" : "II*\0", 4) + u32(8, bigEndian) + directory + u32(0) + values;
}

QByteArray rational(quint32 numerator, quint32 denominator, bool bigEndian)
{
    return u32(numerator, bigEndian) + u32(denominator, bigEndian);
}

QByteArray exif(bool bigEndian, const QVector<Entry> &entries)
{
    return segment(0xe1, QByteArray("Exif\0\0", 6) + tiff(bigEndian, entries));
}

} // namespace

class TestMetadata : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { stopAfterAFailedRow(); }
    void readsTheProfile_data();
    void readsTheProfile();
    void readsOnlyWithinTheBytes_data();
    void readsOnlyWithinTheBytes();
    void readsTheDensity_data();
    void readsTheDensity();
    void keepsPngColourChunks_data();
    void keepsPngColourChunks();
    void writesPngChunks_data();
    void writesPngChunks();
    void embedsInJpeg_data();
    void embedsInJpeg();
    void embedsInWebp_data();
    void embedsInWebp();
    void carriedIntoEveryFile_data();
    void carriedIntoEveryFile();
};

void TestMetadata::readsTheProfile_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QString>("leftOut");

    const QByteArray jpeg = jpegPhoto(), p = iccProfile(1000, 3), big = iccProfile(65 * 65519);
    QByteArray allPieces;
    for (int i = 0; i < 65; ++i)
        allPieces += iccSegment(i + 1, 65, big.mid(i * 65519, 65519));
    QByteArray damagedIccp = iccpChunk(p), cutIccp = pngChunk("iCCP", QByteArray("ICC Profile\0\0", 13) + zlibbed(p).chopped(6));
    damagedIccp[damagedIccp.size() - 1] = char(damagedIccp.at(damagedIccp.size() - 1) ^ 1);
    QByteArray webpClaimingMore = extendedWebp(webpPhoto(3, 80), p.left(200).replace(0, 4, u32(200)));
    webpClaimingMore.replace(34, 4, u32(100000, false));
    const auto tiffWith = [&](bool bigEndian, const QByteArray &profile, quint32 count) {
        return tiff(bigEndian, {{256, 3, 1, u16(1, bigEndian)}, {34675, 7, count, profile}, {0x011a, 5, 1, rational(72, 1, bigEndian)}});
    };

    QTest::newRow("a JPEG's profile in one segment") << afterApp0(jpeg, iccSegment(1, 1, p)) << p << "";
    QTest::newRow("a JPEG's profile in two segments out of order")
        << afterApp0(jpeg, iccSegment(2, 2, p.mid(600)) + iccSegment(1, 2, p.left(600))) << p << "";
    QTest::newRow("a JPEG missing its second segment") << afterApp0(jpeg, iccSegment(1, 2, p.left(600))) << QByteArray()
                                                         << "JPEG segments incomplete";
    QTest::newRow("a JPEG with a sequence number twice")
        << afterApp0(jpeg, iccSegment(1, 2, p.left(600)) + iccSegment(1, 2, p.mid(600))) << QByteArray() << "JPEG segments incomplete";
    QTest::newRow("a JPEG whose segments disagree on the count")
        << afterApp0(jpeg, iccSegment(1, 2, p.left(600)) + iccSegment(2, 3, p.mid(600))) << QByteArray() << "JPEG segments incomplete";
    QTest::newRow("a JPEG whose segments add up past 4 MiB") << afterApp0(jpeg, allPieces) << QByteArray() << "larger than 4 MiB";
    QTest::newRow("a JPEG without a profile") << jpeg << QByteArray() << "";
    QTest::newRow("a PNG's iCCP") << pngPhoto(iccpChunk(p)) << p << "";
    QTest::newRow("a PNG's iCCP with a wrong CRC") << pngPhoto(damagedIccp) << QByteArray() << "PNG chunk damaged";
    QTest::newRow("a PNG's iCCP cut off in its zlib data") << pngPhoto(cutIccp) << QByteArray() << "compressed data damaged";
    QTest::newRow("a PNG's iCCP inflating to 256 MiB of zeros")
        << pngPhoto(pngChunk("iCCP", QByteArray("x\0\0", 3) + zlibbedZeros(qint64(256) << 20))) << QByteArray() << "larger than 4 MiB";
    QTest::newRow("a PNG's iCCP after the image data") << pngPhoto({}, iccpChunk(p)) << QByteArray() << "";
    QTest::newRow("a WebP's ICCP") << extendedWebp(webpPhoto(3, 80), p) << p << "";
    QTest::newRow("a WebP's ICCP claiming more than the file holds") << webpClaimingMore << QByteArray() << "cut short";
    QTest::newRow("a little-endian TIFF's tag 34675") << tiffWith(false, p, 1000) << p << "";
    QTest::newRow("a big-endian TIFF's tag 34675") << tiffWith(true, p, 1000) << p << "";
    QTest::newRow("a TIFF profile running past the end") << tiffWith(false, p, 1009) << QByteArray() << "cut short";
    QTest::newRow("a CMYK profile") << pngPhoto(iccpChunk(QByteArray(p).replace(16, 4, "CMYK"))) << QByteArray()
                                    << "not an RGB profile";
    QTest::newRow("a device link") << pngPhoto(iccpChunk(QByteArray(p).replace(12, 4, "link"))) << QByteArray()
                                   << "not an RGB profile";
    QTest::newRow("no acsp signature") << afterApp0(jpeg, iccSegment(1, 1, QByteArray(p).replace(36, 4, "ACSP"))) << QByteArray()
                                       << "not an ICC profile";
    QTest::newRow("shorter than a profile header") << pngPhoto(iccpChunk(iccProfile(132).left(131))) << QByteArray() << "not an ICC profile";
    QTest::newRow("a size field one too large") << pngPhoto(iccpChunk(QByteArray(p).replace(0, 4, u32(1001)))) << QByteArray()
                                                << "its size field is wrong";
    QTest::newRow("a profile to a header check, with nothing to convert by") << pngPhoto(iccpChunk(iccProfile(192, 5)))
                                                                          << QByteArray() << "its colours cannot be read";
    QTest::newRow("every tag's data past the end") << pngPhoto(iccpChunk(tagsOutside(p))) << QByteArray() << "its colours cannot be read";
    QTest::newRow("a second iCCP after a good one is not looked at")
        << pngPhoto(iccpChunk(p) + pngChunk("iCCP", QByteArray("Other\0\0", 7) + "no zlib here")) << p << "";
    QTest::newRow("a tag count past what any profile holds") << pngPhoto(iccpChunk(QByteArray(p).replace(128, 4, u32(5000))))
                                                             << QByteArray() << "not an ICC profile";
    // Empty, and skipped, without heif-enc.
    QTest::newRow("a HEIC's profile, as heif-enc keeps it from its PNG") << heifFromPng(pngPhoto(iccpChunk(p))) << p << "";
    QTest::newRow("a HEIC without a profile") << heifFromPng(pngPhoto()) << QByteArray() << "";
}

void TestMetadata::readsTheProfile()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, profile);
    QFETCH(QString, leftOut);
    if (file.isEmpty())
        QSKIP("heif-enc (Debian libheif-examples) is needed to make a HEIC photo");

    QVERIFY(resetPeakResident());
    const long before = peakResidentKilobytes();
    const photometadata::Metadata metadata = readBytes(file);
    QVERIFY(peakResidentKilobytes() - before < 24 * 1024); // the cap is 4 MiB
    QCOMPARE(qba(metadata.profile), profile);
    QCOMPARE(QString::fromStdString(metadata.profileLeftOut), leftOut);
}

void TestMetadata::readsOnlyWithinTheBytes_data()
{
    QTest::addColumn<QByteArray>("file");
    const QByteArray p = iccProfile(700, 2);
    QTest::newRow("JPEG") << afterApp0(jpegPhoto(), iccSegment(2, 2, p.mid(100)) + iccSegment(1, 2, p.left(100))
                                                        + exif(true, {{0x011a, 5, 1, rational(3, 1, true)}}));
    QTest::newRow("PNG") << pngPhoto(iccpChunk(p) + pngChunk("pHYs", u32(5) + u32(6) + '\x01'));
    QTest::newRow("WebP") << extendedWebp(webpPhoto(3, 80), p);
    QTest::newRow("TIFF") << tiff(true, {{34675, 7, 700, p}, {0x011a, 5, 1, rational(3, 1, true)}, {0x011b, 5, 1, rational(3, 1, true)}});
}

// Every shorter copy, in a buffer of exactly its size, gives the whole profile or none.
void TestMetadata::readsOnlyWithinTheBytes()
{
    QFETCH(QByteArray, file);
    const QByteArray profile = iccProfile(700, 2);
    QCOMPARE(qba(readBytes(file).profile), profile);
    for (int size = 0; size < file.size(); ++size) {
        const std::vector<unsigned char> prefix(file.begin(), file.begin() + size);
        const QByteArray read = qba(photometadata::read(prefix.data(), prefix.size()).profile);
        QVERIFY2(read.isEmpty() || read == profile, qPrintable(QString::number(size)));
    }
}

void TestMetadata::readsTheDensity_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<quint32>("x");
    QTest::addColumn<quint32>("y");

    const QByteArray jpeg = jpegPhoto();
    const auto inInches = exif(true, {{0x011a, 5, 1, rational(600, 2, true)}, {0x011b, 5, 1, rational(72, 1, true)}});
    QTest::newRow("JFIF in dots per inch") << withJfif(jpeg, 1, 300, 177) << 11811u << 6969u;
    QTest::newRow("JFIF in dots per centimetre") << withJfif(jpeg, 2, 40, 50) << 4000u << 5000u;
    QTest::newRow("JFIF giving only an aspect") << withJfif(jpeg, 0, 3, 2) << 0u << 0u;
    QTest::newRow("EXIF when JFIF gives none, inches by default") << afterApp0(jpeg, inInches) << 11811u << 2835u;
    QTest::newRow("JFIF before EXIF") << afterApp0(withJfif(jpeg, 1, 72, 72), inInches) << 2835u << 2835u;
    QTest::newRow("little-endian EXIF in centimetres")
        << afterApp0(jpeg, exif(false, {{0x011a, 5, 1, rational(118, 1, false)}, {0x011b, 5, 1, rational(59, 1, false)},
                                        {0x0128, 3, 1, u16(3, false)}}))
        << 11800u << 5900u;
    QTest::newRow("EXIF saying it has no unit")
        << afterApp0(jpeg, exif(true, {{0x011a, 5, 1, rational(72, 1, true)}, {0x011b, 5, 1, rational(72, 1, true)},
                                       {0x0128, 3, 1, u16(1)}}))
        << 0u << 0u;
    QTest::newRow("EXIF with a zero denominator")
        << afterApp0(jpeg, exif(true, {{0x011a, 5, 1, rational(72, 0, true)}, {0x011b, 5, 1, rational(72, 1, true)}})) << 0u << 0u;
    QTest::newRow("PNG pHYs in metres") << pngPhoto(pngChunk("pHYs", u32(3780) + u32(2000) + '\x01')) << 3780u << 2000u;
    QTest::newRow("PNG pHYs giving only an aspect") << pngPhoto(pngChunk("pHYs", u32(3780) + u32(2000) + '\x00')) << 0u << 0u;
    QTest::newRow("TIFF in inches")
        << tiff(false, {{0x011a, 5, 1, rational(300, 1, false)}, {0x011b, 5, 1, rational(150, 1, false)}, {0x0128, 3, 1, u16(2, false)}})
        << 11811u << 5906u;
}

void TestMetadata::readsTheDensity()
{
    QFETCH(QByteArray, file);
    QFETCH(quint32, x);
    QFETCH(quint32, y);
    const photometadata::Density density = readBytes(file).density;
    QCOMPARE(density.xPerMetre, x);
    QCOMPARE(density.yPerMetre, y);
}

void TestMetadata::keepsPngColourChunks_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArrayList>("chunks");

    const QByteArray chrm = pngChunk("cHRM", u32(31270) + u32(32900) + u32(64000) + u32(33000) + u32(30000) + u32(60000)
                                                 + u32(15000) + u32(6000));
    const QByteArray gama = pngChunk("gAMA", u32(45455)), srgb = pngChunk("sRGB", QByteArray(1, '\0'));
    QByteArray badGama = gama;
    badGama[10] = 'x';
    QTest::newRow("in the photo's order") << pngPhoto(chrm + pngChunk("tEXt", QByteArray("a\0b", 3)) + gama + srgb) << QByteArrayList{chrm, gama, srgb};
    QTest::newRow("one with a wrong CRC left out") << pngPhoto(badGama + srgb) << QByteArrayList{srgb};
    QTest::newRow("ones after the image data not looked at") << pngPhoto(gama, srgb) << QByteArrayList{gama};
}

void TestMetadata::keepsPngColourChunks()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArrayList, chunks);
    QByteArrayList kept;
    for (const auto &chunk : readBytes(file).colourChunks)
        kept << qba(chunk);
    QCOMPARE(kept, chunks);
}

void TestMetadata::writesPngChunks_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QByteArrayList>("colourChunks");
    QTest::addColumn<quint32>("density");
    QTest::addColumn<QStringList>("types");

    const QByteArrayList colour{pngChunk("gAMA", u32(45455)), pngChunk("sRGB", QByteArray(1, '\x01'))};
    QTest::newRow("profile, colour chunks and density: no sRGB beside the profile")
        << iccProfile(5000, 9) << colour << 3780u << QStringList{"iCCP", "gAMA", "pHYs"};
    QTest::newRow("colour chunks without a profile") << QByteArray() << colour << 0u << QStringList{"gAMA", "sRGB"};
    QTest::newRow("profile only") << iccProfile(640) << QByteArrayList() << 0u << QStringList{"iCCP"};
    QTest::newRow("density only") << QByteArray() << QByteArrayList() << 11811u << QStringList{"pHYs"};
    QTest::newRow("nothing") << QByteArray() << QByteArrayList() << 0u << QStringList();
}

void TestMetadata::writesPngChunks()
{
    QFETCH(QByteArray, profile);
    QFETCH(QByteArrayList, colourChunks);
    QFETCH(quint32, density);
    QFETCH(QStringList, types);

    photometadata::Metadata metadata;
    metadata.profile = vec(profile);
    for (const QByteArray &chunk : colourChunks)
        metadata.colourChunks.push_back(vec(chunk));
    metadata.density = {density, density + 1};
    const QByteArray chunks = qba(photometadata::pngChunks(metadata));

    QStringList found;
    QByteArrayList colourFound;
    for (int at = 0; at < chunks.size();) {
        QVERIFY(at + 12 <= chunks.size());
        const int length = int(valueAt(chunks, at, 4));
        const QByteArray body = chunks.mid(at + 4, length + 4), data = body.mid(4);
        QCOMPARE(valueAt(chunks, at + 8 + length, 4), quint32(crc32(0, reinterpret_cast<const Bytef *>(body.constData()), uInt(body.size()))));
        found << QString::fromLatin1(body.left(4));
        if (found.last() == "iCCP") {
            QCOMPARE(data.left(13), QByteArray("ICC Profile\0\0", 13));
            QByteArray inflated(profile.size() + 1, '\0');
            uLongf size = uLongf(inflated.size());
            QCOMPARE(uncompress(reinterpret_cast<Bytef *>(inflated.data()), &size, reinterpret_cast<const Bytef *>(data.constData() + 13),
                                uLong(data.size() - 13)), Z_OK);
            QCOMPARE(inflated.left(int(size)), profile);
        } else if (found.last() == "pHYs") {
            QCOMPARE(data, u32(density) + u32(density + 1) + '\x01');
        } else {
            colourFound << chunks.mid(at, length + 12);
        }
        at += 12 + length;
    }
    QCOMPARE(found, types);
    QByteArrayList colourKept;
    for (const QByteArray &chunk : colourChunks)
        if (types.contains(QString::fromLatin1(chunk.mid(4, 4))))
            colourKept << chunk;
    QCOMPARE(colourFound, colourKept);

    const QByteArray png = pngPhoto(chunks);
    QVERIFY(samePixels(decoded(png), decoded(pngPhoto())));
    const photometadata::Metadata back = readBytes(png);
    QCOMPARE(qba(back.profile), profile);
    QCOMPARE(back.density.yPerMetre, density ? density + 1 : 0);
}

void TestMetadata::embedsInJpeg_data()
{
    QTest::addColumn<QByteArray>("jpeg");
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<quint32>("x");
    QTest::addColumn<quint32>("y");
    QTest::addColumn<QByteArray>("jfif"); // units and densities expected in the APP0; empty: no APP0
    QTest::addColumn<int>("segments");

    const QByteArray jpeg = jpegPhoto(), p = iccProfile(700, 1, 3), large = iccProfile(140000, 40, 5);
    const QByteArray asWritten = jpeg.mid(13, 5);
    QTest::newRow("a profile in one segment, 72 dpi") << jpeg << p << 2835u << 2835u << QByteArray("\x01\x00\x48\x00\x48", 5) << 1;
    QTest::newRow("a profile in three segments, 20 dots per cm") << jpeg << large << 2000u << 2000u << QByteArray("\x02\x00\x14\x00\x14", 5) << 3;
    QTest::newRow("a pixel per metre off whole dpi") << jpeg << QByteArray() << 2836u << 3780u << QByteArray("\x01\x00\x48\x00\x60", 5) << 0;
    QTest::newRow("whole dpi one way only") << jpeg << QByteArray() << 2835u << 2000u << QByteArray("\x02\x00\x1c\x00\x14", 5) << 0;
    QTest::newRow("no APP0 to begin with") << jpeg.left(2) + jpeg.mid(20) << p << 11811u << 5906u << QByteArray("\x01\x01\x2c\x00\x96", 5) << 1;
    QTest::newRow("a profile only, the APP0 as it was") << jpeg << p << 0u << 0u << asWritten << 1;
    QTest::newRow("a profile only, no APP0") << jpeg.left(2) + jpeg.mid(20) << p << 0u << 0u << QByteArray() << 1;
    QTest::newRow("an old profile replaced") << afterApp0(jpeg, iccSegment(1, 1, iccProfile(200))) << large << 0u << 0u << asWritten << 3;
    QTest::newRow("nothing to put in") << jpeg << QByteArray() << 0u << 0u << QByteArray() << -1;
    QTest::newRow("cut before its image data") << jpeg.left(jpeg.indexOf("\xff\xda")) << p << 2835u << 2835u << QByteArray() << -1;
}

void TestMetadata::embedsInJpeg()
{
    QFETCH(QByteArray, jpeg);
    QFETCH(QByteArray, profile);
    QFETCH(quint32, x);
    QFETCH(quint32, y);
    QFETCH(QByteArray, jfif);
    QFETCH(int, segments);

    photometadata::Metadata metadata;
    metadata.profile = vec(profile);
    metadata.density = {x, y};
    const QByteArray out = qba(photometadata::embedInJpeg(vec(jpeg), metadata));
    if (segments < 0) {
        QCOMPARE(out, jpeg);
        return;
    }
    QVERIFY(samePixels(decoded(out), decoded(jpeg)));
    int at = 2;
    if (!jfif.isEmpty()) {
        QCOMPARE(out.mid(2, 9), QByteArray("\xff\xe0\x00\x10JFIF\0", 9));
        QCOMPARE(out.mid(13, 5), jfif);
        at += 18;
    }
    QByteArray joined;
    for (int i = 0; i < segments; ++i) {
        const int length = int(valueAt(out, at + 2, 2));
        QCOMPARE(out.mid(at, 2), QByteArray("\xff\xe2"));
        QCOMPARE(out.mid(at + 4, 14), QByteArray("ICC_PROFILE\0", 12) + char(i + 1) + char(segments));
        QCOMPARE(length - 16, i + 1 < segments ? 65519 : profile.size() - 65519 * i);
        joined += out.mid(at + 18, length - 16);
        at += 2 + length;
    }
    QCOMPARE(joined, profile);
    QCOMPARE(out.indexOf("ICC_PROFILE", at), -1);

    const photometadata::Metadata back = readBytes(out);
    QCOMPARE(qba(back.profile), profile);
    const auto perMetre = [&](int offset) { return quint32(qRound(valueAt(jfif, offset, 2) * (jfif.at(0) == 1 ? 39.3701 : 100.0))); };
    QCOMPARE(back.density.xPerMetre, x ? perMetre(1) : 0);
    QCOMPARE(back.density.yPerMetre, y ? perMetre(3) : 0);
}

void TestMetadata::embedsInWebp_data()
{
    QTest::addColumn<QByteArray>("webp");
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<int>("flags"); // -1: left as it was
    QTest::addColumn<QByteArray>("imageChunks");

    const QByteArray lossy = webpPhoto(3, 80), lossless = webpPhoto(3, 101), losslessAlpha = webpPhoto(4, 101),
                     lossyAlpha = webpPhoto(4, 80), p = iccProfile(701, 2, 7);
    QTest::newRow("lossy colour in a VP8 chunk") << lossy << p << 0x20 << lossy.mid(12);
    QTest::newRow("lossless colour in a VP8L chunk") << lossless << p << 0x20 << lossless.mid(12);
    QTest::newRow("lossless with alpha in a VP8L chunk") << losslessAlpha << p << 0x30 << losslessAlpha.mid(12);
    QTest::newRow("lossy with alpha, already extended") << lossyAlpha << iccProfile(700) << 0x30 << lossyAlpha.mid(30);
    QTest::newRow("an old profile replaced") << extendedWebp(lossy, iccProfile(200)) << p << 0x20 << lossy.mid(12);
    QTest::newRow("no profile to put in") << lossy << QByteArray() << -1 << QByteArray();
}

void TestMetadata::embedsInWebp()
{
    QFETCH(QByteArray, webp);
    QFETCH(QByteArray, profile);
    QFETCH(int, flags);
    QFETCH(QByteArray, imageChunks);

    photometadata::Metadata metadata;
    metadata.profile = vec(profile);
    const QByteArray out = qba(photometadata::embedInWebp(vec(webp), metadata));
    if (flags < 0) {
        QCOMPARE(out, webp);
        return;
    }
    QCOMPARE(out.left(4), QByteArray("RIFF"));
    QCOMPARE(valueAt(out, 4, 4, false), quint32(out.size() - 8));
    QCOMPARE(out.mid(8, 8), QByteArray("WEBPVP8X"));
    QCOMPARE(valueAt(out, 16, 4, false), 10u);
    QCOMPARE(int(uchar(out[20])), flags);
    QCOMPARE(valueAt(out, 24, 3, false) + 1, 37u);
    QCOMPARE(valueAt(out, 27, 3, false) + 1, 23u);
    QCOMPARE(out.mid(30, 4), QByteArray("ICCP"));
    QCOMPARE(valueAt(out, 34, 4, false), quint32(profile.size()));
    QCOMPARE(out.mid(38, profile.size()), profile);
    QCOMPARE(out.mid(38 + profile.size() + (profile.size() & 1)), imageChunks);
    QVERIFY(samePixels(decoded(out), decoded(webp)));
    QCOMPARE(qba(readBytes(out).profile), profile);
}

void TestMetadata::carriedIntoEveryFile_data()
{
    QTest::addColumn<QByteArray>("photo");
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<quint32>("perMetre");
    QTest::addColumn<QString>("leftOut");
    QTest::addColumn<QByteArrayList>("kept"); // chunk types the master carries from a PNG photo

    const QByteArray p = iccProfile(700, 2);
    const QByteArray srgb = pngChunk("sRGB", QByteArray(1, '\0')), gama = pngChunk("gAMA", u32(45455));
    QTest::newRow("from a 300 dpi JPEG") << afterApp0(withJfif(jpegPhoto(), 1, 300, 300), iccSegment(1, 1, p)) << p
                                         << quint32(11811) << "" << QByteArrayList();
    QTest::newRow("from a PNG, its gAMA kept and its sRGB left to the profile")
        << pngPhoto(iccpChunk(p) + srgb + gama + pngChunk("pHYs", u32(5000) + u32(5000) + '\x01')) << p << quint32(5000)
        << "" << QByteArrayList{"gAMA"};
    QTest::newRow("from a PNG saying sRGB") << pngPhoto(srgb) << QByteArray() << quint32(0) << "" << QByteArrayList{"sRGB"};
    QTest::newRow("from a WebP") << extendedWebp(webpPhoto(3, 80), p) << p << quint32(0) << "" << QByteArrayList();
    QTest::newRow("a broken profile left out, the photo made")
        << afterApp0(jpegPhoto(), iccSegment(1, 1, QByteArray(p).replace(36, 4, "xxxx"))) << QByteArray() << quint32(0)
        << "not an ICC profile" << QByteArrayList();
    QTest::newRow("from a HEIC") << heifFromPng(pngPhoto(iccpChunk(p))) << p << quint32(0) << "" << QByteArrayList();
}

// The master, the JPEG beside it and the JPEG made later from the master carry the photo's
// profile and density; the mask, which is data, carries neither.
void TestMetadata::carriedIntoEveryFile()
{
    QFETCH(QByteArray, photo);
    QFETCH(QByteArray, profile);
    QFETCH(quint32, perMetre);
    QFETCH(QString, leftOut);
    QFETCH(QByteArrayList, kept);
    if (photo.isEmpty())
        QSKIP("heif-enc (Debian libheif-examples) is needed to make a HEIC photo");

    QTemporaryDir dir;
    const QString origin = dir.filePath(QStringLiteral("photo")), master = dir.filePath(QStringLiteral("photo-no-bg.png"));
    const cv::Mat pixels = decoded(photo);
    QVERIFY(writeBytes(origin, photo));
    QVERIFY(writeBytes(master, encode(cutoutLike(pixels.cols / 2, pixels.rows / 2), ".png")));
    OutputChoices choices;
    choices.set(QStringLiteral("format"), QStringLiteral("jpg"));
    choices.set(QStringLiteral("mask"), {});
    // Each file says what it was made from.
    const QByteArray record = provenance::of(origin).text();
    QVERIFY(provenance::Record::fromText(record).valid());
    const ScaleAndMix::Report report = makeComposite(origin, master, choices, false, record);
    QCOMPARE(report.outcome, ScaleAndMix::Written);
    QCOMPARE(report.profileLeftOut, leftOut);
    QCOMPARE(report.written.size(), 2);
    for (const QString &file : {master, report.written.at(0)}) {
        QCOMPARE(provenance::readFrom(file).text(), record);
        const photometadata::Metadata carried = readBytes(::readBytes(file));
        QCOMPARE(qba(carried.profile), profile);
        QCOMPARE(carried.density.xPerMetre, perMetre);
        QCOMPARE(carried.density.yPerMetre, perMetre);
    }
    const QByteArray masterBytes = ::readBytes(master);
    for (const char *type : {"sRGB", "gAMA"})
        QCOMPARE(masterBytes.contains(type), kept.contains(type));
    // The pixels are the photo's own.
    cv::Mat colour;
    const cv::Mat master4 = decoded(masterBytes);
    cv::cvtColor(master4, colour, cv::COLOR_BGRA2BGR);
    cv::Mat alpha;
    cv::extractChannel(master4, alpha, 3);
    QVERIFY(samePixels(colour, hiddenCleared(pixels, alpha)));
    const photometadata::Metadata mask = readBytes(::readBytes(report.written.at(1)));
    QVERIFY(mask.profile.empty() && !mask.density.known());
    // Made again later from the master alone, the JPEG carries them still.
    QVERIFY(QFile::remove(report.written.at(0)) && QFile::remove(origin));
    QCOMPARE(makeComposite(origin, master, choices, true).outcome, ScaleAndMix::Written);
    QCOMPARE(qba(readBytes(::readBytes(report.written.at(0))).profile), profile);
    QCOMPARE(provenance::readFrom(report.written.at(0)).text(), record);
    OutputChoices webp;
    webp.set(QStringLiteral("format"), QStringLiteral("webp"));
    QCOMPARE(makeComposite(origin, master, webp, true).outcome, ScaleAndMix::Written);
    QCOMPARE(provenance::readFrom(outputnames::variantPath(master, webp)).text(), record);
    QCOMPARE(qba(readBytes(::readBytes(outputnames::variantPath(master, webp))).profile), profile);
    QCOMPARE(decoded(::readBytes(outputnames::variantPath(master, webp))).size(), pixels.size());
}

QTEST_GUILESS_MAIN(TestMetadata)
#include "tst_metadata.moc"
