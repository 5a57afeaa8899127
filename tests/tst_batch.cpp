#include "compositor.h"
#include "masterfile.h"
#include "composite.h"
#include "cutoutfile.h"
#include "fakeservice.h"
#include "testimages.h"
#include "batch.h"
#include "outputplan.h"
#include "provenance.h"
#include "reviewitems.h"
#include "removebgconn.h"


#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <httplib.h>
#include <zlib.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

// The engine without a window: output choices over two batches, the plans from what is on
// disk, and what a saved cut-out records.
class TestBatch : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { stopAfterAFailedRow(); }
    void outputChoices_data();
    void outputChoices();
    void plansWithChoices_data();
    void plansWithChoices();
    void aSavedCutoutSaysWhatItWasMadeFrom();
    void reviewMarks_data();
    void reviewMarks();
    void thumbnailNames();
    void damagedPhotosAreNotSent_data();
    void damagedPhotosAreNotSent();
    void aPreviewCostsAQuarterBeforeSending_data();
    void aPreviewCostsAQuarterBeforeSending();
};

void TestBatch::outputChoices_data()
{
    QTest::addColumn<QStringList>("first");  // the choices of the first batch
    QTest::addColumn<QStringList>("second"); // then of a second one
    QTest::addColumn<int>("uploads");        // of both
    QTest::addColumn<QStringList>("files");  // in the output folder at the end, besides the masters
    QTest::addColumn<QString>("account");    // the second batch's count line

    QTest::newRow("a change of mind is made from the masters")
        << QStringList{} << QStringList{"--format=jpg", "--crop", "--canvas=square"} << 2
        << QStringList{"a.jpg-no-bg.bg-white.crop3.square.jpg", "b.png-no-bg.bg-white.crop3.square.jpg"}
        << "本批共 2 张：保存 0 张，跳过 0 张，失败 0 张，由已有结果生成 2 张";
    QTest::newRow("masters made before are cleaned without an upload")
        << QStringList{} << QStringList{"--edges=clean"} << 2 << QStringList{}
        << "本批共 2 张：保存 0 张，跳过 0 张，失败 0 张，由已有结果生成 2 张";
    QTest::newRow("cleaned masters given the photo's edges again without an upload")
        << QStringList{"--edges=clean"} << QStringList{"--edges=source"} << 2 << QStringList{}
        << "本批共 2 张：保存 0 张，跳过 0 张，失败 0 张，由已有结果生成 2 张";
    QTest::newRow("masters that kept the hidden background are cleared without an upload")
        << QStringList{"--hidden=keep"} << QStringList{} << 2 << QStringList{}
        << "本批共 2 张：保存 0 张，跳过 0 张，失败 0 张，由已有结果生成 2 张";
    QTest::newRow("cleared masters given the photo's hidden pixels again without an upload")
        << QStringList{} << QStringList{"--hidden=keep"} << 2 << QStringList{}
        << "本批共 2 张：保存 0 张，跳过 0 张，失败 0 张，由已有结果生成 2 张";
    QTest::newRow("masters made before are refined without an upload")
        << QStringList{} << QStringList{"--edges=refine"} << 2 << QStringList{}
        << "本批共 2 张：保存 0 张，跳过 0 张，失败 0 张，由已有结果生成 2 张";
    QTest::newRow("a refined master stays refined")
        << QStringList{"--edges=refine"} << QStringList{} << 2 << QStringList{} << "本批共 2 张：保存 0 张，跳过 2 张，失败 0 张";
    QTest::newRow("files made in the pass are not made again")
        << QStringList{"--mask"} << QStringList{"--mask"} << 2
        << QStringList{"a.jpg-no-bg.mask.png", "b.png-no-bg.mask.png"} << "本批共 2 张：保存 0 张，跳过 2 张，失败 0 张";
    QTest::newRow("a deleted master is sent again")
        << QStringList{"--mask"} << QStringList{"--mask"} << 3
        << QStringList{"a.jpg-no-bg.mask.png", "b.png-no-bg.mask.png"} << "本批共 2 张：保存 1 张，跳过 1 张，失败 0 张";
    QTest::newRow("a photo changed since its master, though older than it, is sent again")
        << QStringList{} << QStringList{} << 3 << QStringList{} << "本批共 2 张：保存 1 张，跳过 1 张，失败 0 张";
    QTest::newRow("a master cut short is set aside and its photo sent again")
        << QStringList{} << QStringList{} << 3 << QStringList{"a.jpg-no-bg.png.damaged"}
        << "a.jpg：已有的结果不完整，已改名为 a.jpg-no-bg.png.damaged，重新发送";
    QTest::newRow("a master cut short is set aside past a link in the way, never through it")
        << QStringList{} << QStringList{} << 3 << QStringList{"a.jpg-no-bg.png.damaged2"}
        << "a.jpg：已有的结果不完整，已改名为 a.jpg-no-bg.png.damaged2，重新发送";
    QTest::newRow("a master touched up by hand is kept, even under --redo; its files are made from it")
        << QStringList{} << QStringList{"--format=jpg"} << 3 << QStringList{"a.jpg-no-bg.bg-white.jpg", "b.png-no-bg.bg-white.jpg"}
        << "1 张照片的结果经过手工修改，--redo 不重做它们（把结果移走可重新发送）";
    QTest::newRow("a photo with 7 MB of metadata before its frame is not sent again")
        << QStringList{} << QStringList{} << 2 << QStringList{} << "本批共 2 张：保存 0 张，跳过 2 张，失败 0 张";
}

void TestBatch::outputChoices()
{
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QFETCH(int, uploads);
    QFETCH(QStringList, files);
    QFETCH(QString, account);

    QTemporaryDir dir;
    FakeService service;
    service.setResponder(answerWithReducedCutout);
    const QString photos = dir.filePath(QStringLiteral("photos")), output = dir.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(photos));
    writeImage(photos + QStringLiteral("/a.jpg"), photoLike(320, 240, 3, 1));
    writeImage(photos + QStringLiteral("/b.png"), photoLike(200, 260, 3, 2));
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    const QString photoA = photos + QStringLiteral("/a.jpg"), masterA = output + QStringLiteral("/a.jpg-no-bg.png");
    if (tag.contains(QLatin1String("metadata"))) {
        QByteArray jpeg = readBytes(photoA), segment = QByteArray("\xff\xeb\xff\xff", 4) + QByteArray(65533, 'm');
        for (int i = 0; i < 112; ++i)
            jpeg.insert(2, segment);
        QVERIFY(writeBytes(photoA, jpeg));
    }

    Batch batch(new RemoveBGConn(service.endpoint()));
    batch.connectWorkers();
    QStringList lines;
    connect(&batch, &Batch::line, this, [&lines](const QString &line) { lines << line; });
    QSignalSpy accounts(&batch, &Batch::finished);
    const auto run = [&](const QStringList &arguments) {
        const OutputChoices choices = choicesOf(arguments);
        batch.setChoices(choices);
        lines.clear();
        QTest::ignoreMessage(QtDebugMsg, "isDir");
        const int before = accounts.size();
        batch.start(photos, output, QStringLiteral("k"));
        QTRY_COMPARE_WITH_TIMEOUT(accounts.size(), before + 1, 10000);
        // The choices in force come first; the defaults are not named.
        if (choices.summary().isEmpty())
            QVERIFY(!lines.value(0).startsWith(QStringLiteral("输出选项")));
        else
            QCOMPARE(lines.value(0), choices.summary());
    };
    run(first);
    if (tag.contains(QLatin1String("deleted")))
        QVERIFY(QFile::remove(masterA));
    if (tag.contains(QLatin1String("changed"))) {
        writeImage(photoA, photoLike(320, 240, 3, 9));
        QFile file(photoA);
        QVERIFY(file.open(QIODevice::Append)
                && file.setFileTime(QFileInfo(masterA).lastModified().addSecs(-3600), QFileDevice::FileModificationTime));
    }
    if (tag.contains(QLatin1String("cut short")))
        QVERIFY(QFile::resize(masterA, QFileInfo(masterA).size() / 2));
    const cv::Rect erased(128, 96, 64, 48);
    if (tag.contains(QLatin1String("by hand"))) {
        cv::Mat colour, alpha;
        QVERIFY(masterfile::read(masterA, colour, alpha));
        alpha(erased).setTo(0);
        ScaleAndMix::Request edit;
        edit.origin = photoA;
        edit.target = masterA;
        QCOMPARE(compositor::saveEdited(edit, colour, alpha, 1).outcome, ScaleAndMix::Written);
        batch.setRedo(true);
    }
    const QString victim = dir.filePath(QStringLiteral("victim"));
    if (tag.contains(QLatin1String("link in the way")))
        QVERIFY(QFile::link(victim, masterA + QStringLiteral(".damaged")));
    run(second);
    QVERIFY(!QFile::exists(victim));

    QCOMPARE(service.uploadCount(), uploads);
    QVERIFY2(lines.contains(account), qPrintable(lines.join(QLatin1Char('\n'))));
    QStringList expected = files + QStringList{"a.jpg-no-bg.png", "b.png-no-bg.png"};
    expected.sort();
    QCOMPARE(QDir(output).entryList(QDir::Files, QDir::Name), expected);
    // A JPEG's corner is the white background; a mask is the master's alpha.
    for (const QString &name : files) {
        if (name.contains(QLatin1String(".damaged")))
            continue;
        const cv::Mat made = readImage(output + QLatin1Char('/') + name, cv::IMREAD_UNCHANGED);
        QVERIFY(!made.empty());
        if (name.endsWith(QLatin1String(".jpg")))
            QVERIFY(cv::norm(made.at<cv::Vec3b>(0, 0), cv::Vec3b(255, 255, 255), cv::NORM_INF) <= 3);
        if (name.endsWith(QLatin1String(".mask.png"))) {
            cv::Mat alpha;
            cv::extractChannel(readImage(output + QLatin1Char('/') + name.section(QLatin1Char('.'), 0, 1) + QStringLiteral(".png"),
                                         cv::IMREAD_UNCHANGED), alpha, 3);
            QCOMPARE(cv::norm(made, alpha, cv::NORM_INF), 0.0);
        }
    }
    for (const char *photo : {"a.jpg", "b.png"}) {
        const QString master = output + QLatin1Char('/') + QLatin1String(photo) + QStringLiteral("-no-bg.png");
        const bool refined = (first + second).contains(QStringLiteral("--edges=refine"));
        const bool clean = refined || second.contains(QStringLiteral("--edges=clean"));
        const masterfile::Marks marks = masterfile::marksOf(readBytes(master).left(masterfile::marksHeadBytes));
        QCOMPARE(marks.edges != OutputChoices::Edges::Source, clean);
        QCOMPARE(marks.edges == OutputChoices::Edges::Refine, refined);
        QCOMPARE(marks.hiddenKept, second.contains(QStringLiteral("--hidden=keep")));
        // Unless cleaned, the colours are the photo's own.
        cv::Mat colour, alpha;
        const cv::Mat made = readImage(master, cv::IMREAD_UNCHANGED);
        cv::cvtColor(made, colour, cv::COLOR_BGRA2BGR);
        cv::extractChannel(made, alpha, 3);
        const cv::Mat photoColour = readImage(photos + QLatin1Char('/') + QLatin1String(photo), cv::IMREAD_COLOR);
        const cv::Mat expected = marks.hiddenKept ? photoColour : hiddenCleared(photoColour, alpha);
        QCOMPARE(cv::norm(colour, expected, cv::NORM_INF) == 0, !clean);
    }
    if (tag.contains(QLatin1String("by hand"))) {
        QVERIFY(masterfile::isEdited(masterA));
        cv::Mat planes[4];
        cv::split(readImage(masterA, cv::IMREAD_UNCHANGED), planes);
        QCOMPARE(cv::countNonZero(planes[3](erased)), 0);
        const cv::Mat white = readImage(output + QStringLiteral("/a.jpg-no-bg.bg-white.jpg"), cv::IMREAD_COLOR);
        // Whole JPEG blocks inside what was erased: no edge rings into them.
        const cv::Rect inside(erased.x + 16, erased.y + 16, 32, 16);
        QVERIFY(cv::norm(white(inside), cv::Mat(inside.size(), CV_8UC3, cv::Scalar::all(255)), cv::NORM_INF) <= 3);
    }
    // A folder scan of the output takes none of them for a photo.
    lines.clear();
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    batch.start(output, dir.filePath(QStringLiteral("again")), QStringLiteral("k"));
    QVERIFY2(lines.value(lines.size() - 1).startsWith(QStringLiteral("文件夹里没有可发送的照片")), qPrintable(lines.join(QLatin1Char('\n'))));
}

void TestBatch::plansWithChoices_data()
{
    QTest::addColumn<QString>("result");    // its name; its content follows from its suffix
    QTest::addColumn<QString>("choice");    // one option=value
    QTest::addColumn<int>("otherAge");      // seconds of the file beside it against the result; 0: none
    QTest::addColumn<int>("plan");

    const int derive = int(outputplan::Plan::Derive), skip = int(outputplan::Plan::Skip), send = int(outputplan::Plan::Send);
    QTest::newRow("a mask missing is made from the master") << "p-no-bg.png" << "mask=" << 0 << derive;
    QTest::newRow("a mask older than its master is made again") << "p-no-bg.png" << "mask=" << -60 << derive;
    QTest::newRow("a mask newer than its master is kept") << "p-no-bg.png" << "mask=" << 60 << skip;
    QTest::newRow("edges not yet cleaned") << "p-no-bg.png" << "edges=clean" << 0 << derive;
    QTest::newRow("a transparent WebP master gives a background") << "p.webp" << "background=black" << 0 << derive;
    QTest::newRow("a JPEG holds no alpha to crop by: sent") << "p.jpg" << "crop=" << 0 << send;
    QTest::newRow("a name that keeps the cut-out asks for nothing more") << "p.bmp" << "mask=" << 0 << skip;
    QTest::newRow("edges as the photo has them are kept") << "p-no-bg.png" << "edges=source" << 0 << skip;
    QTest::newRow("a whole JPEG result is kept") << "p.jpg" << "png=fast" << 0 << skip;
    QTest::newRow("the service's cut-out under a JPEG name is finished") << "p.jpg" << "png=fast" << 0
                                                                         << int(outputplan::Plan::Finish);
    QTest::newRow("the service's cut-out under a JPEG name, cut short, is sent again") << "p.jpg" << "png=fast" << 0 << send;
    QTest::newRow("a JPEG result cut short is sent again") << "p.jpg" << "png=fast" << 0 << send;
    QTest::newRow("a master touched up by hand, older than its photo, is kept") << "p-no-bg.png" << "png=fast" << 0 << skip;
    QTest::newRow("a master touched up by hand keeps its edges") << "p-no-bg.png" << "edges=clean" << 0 << skip;
}

void TestBatch::plansWithChoices()
{
    QFETCH(QString, result);
    QFETCH(QString, choice);
    QFETCH(int, otherAge);
    QFETCH(int, plan);

    QTemporaryDir dir;
    const QString photo = dir.filePath(QStringLiteral("p.jpg.src")), master = dir.filePath(result);
    QVERIFY(writeBytes(photo, encode(photoLike(40, 30), ".jpg")));
    const QString suffix = QFileInfo(result).suffix();
    const bool cutoutAsJpeg = QString::fromLatin1(QTest::currentDataTag()).contains(QLatin1String("cut-out under"));
    QVERIFY(writeBytes(master, suffix == QLatin1String("jpg") && !cutoutAsJpeg ? encode(photoLike(40, 30), ".jpg")
                               : encode(cutoutLike(suffix == QLatin1String("bmp") ? 10 : 40, suffix == QLatin1String("bmp") ? 8 : 30),
                                        suffix == QLatin1String("webp") ? ".webp" : ".png")));
    const OutputChoices choices = choicesOf({QStringLiteral("--") + choice});
    const auto age = [](const QString &path, const QDateTime &when) {
        QFile file(path);
        return file.open(QIODevice::Append) && file.setFileTime(when, QFileDevice::FileModificationTime);
    };
    if (QString::fromLatin1(QTest::currentDataTag()).contains(QLatin1String("cut short")))
        QVERIFY(QFile::resize(master, QFileInfo(master).size() - 1));
    const bool byHand = QString::fromLatin1(QTest::currentDataTag()).contains(QLatin1String("by hand"));
    if (byHand) {
        QByteArray marked = readBytes(master);
        const std::vector<unsigned char> chunk = masterfile::editedChunk();
        marked.insert(33, reinterpret_cast<const char *>(chunk.data()), int(chunk.size()));
        QVERIFY(writeBytes(master, marked));
    }
    const QDateTime made = QFileInfo(photo).lastModified().addSecs(byHand ? -100 : 100);
    QVERIFY(age(master, made));
    if (otherAge != 0) {
        QVERIFY(writeBytes(outputnames::maskPath(master, choices), "mask"));
        QVERIFY(age(outputnames::maskPath(master, choices), made.addSecs(otherAge)));
    }
    QCOMPARE(int(outputplan::planFor(photo, master, choices)), plan);
}

// The service's cut-out, saved before its composite, carries the record of the photo it was
// sent as: a photo whole only since then is sent again, not finished from the cut-out of its
// first part, whatever the files' times say.
void TestBatch::aSavedCutoutSaysWhatItWasMadeFrom()
{
    QTemporaryDir dir;
    const QString photo = dir.filePath(QStringLiteral("p.jpg")), result = dir.filePath(QStringLiteral("p.jpg-no-bg.png"));
    QVERIFY(writeBytes(photo, encode(photoLike(40, 30), ".jpg")));
    const QByteArray cutout = encode(cutoutLike(20, 15), ".png");
    QVERIFY(cutoutfile::save(cutout, result, photo, provenance::of(photo).text()).shown.isEmpty());
    QCOMPARE(cv::norm(readImage(result, cv::IMREAD_UNCHANGED), cutoutLike(20, 15), cv::NORM_INF), 0.0);
    QCOMPARE(int(outputplan::planFor(photo, result)), int(outputplan::Plan::Finish));
    QVERIFY(writeBytes(photo, encode(photoLike(40, 30, 3, 5), ".jpg")));
    QFile file(photo);
    QVERIFY(file.open(QIODevice::Append)
            && file.setFileTime(QFileInfo(result).lastModified().addSecs(-60), QFileDevice::FileModificationTime));
    QCOMPARE(int(outputplan::planFor(photo, result)), int(outputplan::Plan::Send));
}

void TestBatch::reviewMarks_data()
{
    QTest::addColumn<int>("kept");   // pixels of 10,000 with alpha 200
    QTest::addColumn<int>("opaque"); // of the rest, with alpha 255; the others 0
    QTest::addColumn<int>("mark");

    QTest::newRow("nothing kept") << 0 << 0 << int(reviewitems::Mark::NoSubject);
    QTest::newRow("99 pixels kept of 10,000") << 99 << 0 << int(reviewitems::Mark::MostlyClear);
    QTest::newRow("100 pixels kept of 10,000") << 100 << 0 << int(reviewitems::Mark::Fine);
    QTest::newRow("all but 99 opaque") << 0 << 9901 << int(reviewitems::Mark::MostlyOpaque);
    QTest::newRow("all but 100 opaque") << 0 << 9900 << int(reviewitems::Mark::Fine);
    QTest::newRow("a subject on a cleared background") << 3000 << 1000 << int(reviewitems::Mark::Fine);
}

void TestBatch::reviewMarks()
{
    QFETCH(int, kept);
    QFETCH(int, opaque);
    QFETCH(int, mark);
    cv::Mat alpha(100, 100, CV_8U, cv::Scalar(0));
    alpha.reshape(1, 1).colRange(0, kept).setTo(200);
    alpha.reshape(1, 1).colRange(kept, kept + opaque).setTo(255);
    QCOMPARE(int(reviewitems::markOf(alpha)), mark);
}

void TestBatch::thumbnailNames()
{
    QTemporaryDir dir;
    const QString master = dir.filePath(QStringLiteral("a.jpg-no-bg.png"));
    QVERIFY(reviewitems::thumbnailPath(dir.path(), master, 192).isEmpty());
    QVERIFY(writeBytes(master, "12345"));
    const QString first = reviewitems::thumbnailPath(dir.path(), master, 192);
    QCOMPARE(QFileInfo(first).absolutePath(), dir.path());
    QCOMPARE(reviewitems::thumbnailPath(dir.path(), master, 192), first);
    QVERIFY(reviewitems::thumbnailPath(dir.path(), master, 96) != first);
    QVERIFY(writeBytes(dir.filePath(QStringLiteral("b.jpg-no-bg.png")), "12345"));
    QVERIFY(reviewitems::thumbnailPath(dir.path(), dir.filePath(QStringLiteral("b.jpg-no-bg.png")), 192) != first);
    // The same size, another time; then another size.
    QFile file(master);
    QVERIFY(file.open(QIODevice::Append)
            && file.setFileTime(QFileInfo(master).lastModified().addSecs(-5), QFileDevice::FileModificationTime));
    file.close();
    const QString retimed = reviewitems::thumbnailPath(dir.path(), master, 192);
    QVERIFY(retimed != first);
    const QDateTime when = QFileInfo(master).lastModified();
    QVERIFY(writeBytes(master, "123456"));
    QVERIFY(file.open(QIODevice::Append) && file.setFileTime(when, QFileDevice::FileModificationTime));
    file.close();
    QVERIFY(reviewitems::thumbnailPath(dir.path(), master, 192) != retimed);
}

void TestBatch::damagedPhotosAreNotSent_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("photo");
    QTest::addColumn<QString>("reason"); // empty: sent
    QTest::addColumn<UploadSize>("size");
    QTest::addColumn<QSize>("sent"); // the upload's size when it is a JPEG made from the photo; empty: the photo's own bytes

    const QByteArray jpeg = encode(photoLike(320, 240), ".jpg"), png = encode(photoLike(320, 240), ".png");
    const QString cutShort = QStringLiteral("照片已损坏（数据在结尾之前中断），未发送");
    const auto row = [](const char *name, const char *file, const QByteArray &photo, const QString &reason,
                        UploadSize size = UploadSize::Auto, QSize sent = QSize()) {
        QTest::newRow(name) << QString::fromLatin1(file) << photo << reason << size << sent;
    };
    row("a JPEG cut at half", "a.jpg", jpeg.left(jpeg.size() / 2), cutShort);
    row("a JPEG cut at nine tenths", "a.jpg", jpeg.left(jpeg.size() * 9 / 10), cutShort);
    row("a JPEG without its end marker", "a.jpg", jpeg.left(jpeg.size() - 2), cutShort);
    row("a JPEG with a stray byte before a marker: sent", "a.jpg", QByteArray(jpeg).insert(jpeg.indexOf("\xff\xdb"), '\0'), QString());
    row("a whole JPEG: sent", "a.jpg", jpeg, QString());
    row("a PNG cut short", "a.png", png.left(png.size() * 2 / 3), cutShort);
    // A byte of the image data changed, its chunk's CRC made good: zlib's own checksum fails.
    QByteArray bad = png;
    const int idat = bad.indexOf("IDAT");
    const int length = int(qFromBigEndian<quint32>(bad.constData() + idat - 4));
    bad[idat + 4 + length / 2] = char(bad.at(idat + 4 + length / 2) ^ 0x55);
    const quint32 crc = quint32(crc32(0, reinterpret_cast<const Bytef *>(bad.constData() + idat), uInt(4 + length)));
    qToBigEndian(crc, bad.data() + idat + 4 + length);
    row("a PNG whose data fails its checksum", "a.png", bad, QStringLiteral("照片已损坏（数据有误），未发送"));
    row("a whole PNG: sent", "a.png", png, QString());

    // HEIF rows are left empty, and skipped, where heif-enc is missing.
    const QByteArray heic = heifEncoded(photoLike(320, 240));
    row("a whole HEIC: sent as a JPEG of its pixels", "a.HEIC", heic, QString(), UploadSize::Auto, QSize(320, 240));
    row("a HEIC cut at half", "a.heic", heic.left(heic.size() / 2), cutShort);
    row("a HEIC cut just before its end", "a.heic", heic.left(heic.size() - 16), cutShort);
    row("a whole HEIC asked in full size", "a.heif", heic, QString(), UploadSize::Full, QSize(320, 240));

    // 1600 x 900 stored on its side: the preview is upright, within 1 megapixel.
    const QByteArray large = withExifOrientation(encode(photoLike(1600, 900), ".jpg"), 6);
    row("a preview of a turned JPEG of 1.44 megapixels", "a.jpg", large, QString(), UploadSize::Preview, QSize(750, 1333));
    row("a preview of a small PNG: a JPEG of its size", "a.png", png, QString(), UploadSize::Preview, QSize(320, 240));
    row("a preview of a HEIC", "a.heic", heic, QString(), UploadSize::Preview, QSize(320, 240));
    row("a preview of a JPEG cut short", "a.jpg", jpeg.left(jpeg.size() / 2), cutShort, UploadSize::Preview);
    row("a preview of a file that is no image", "a.jpg", QByteArray("not a photo at all"),
        QStringLiteral("无法生成要上传的图像（无法读取这张照片），未发送"), UploadSize::Preview);
    row("a preview over 250 megapixels", "a.png", pngClaiming(20000, 20000),
        QStringLiteral("无法生成要上传的图像（超过 2.5 亿像素），未发送"), UploadSize::Preview);
}

// Never paid for: the line, the account and the report's reason; the service never sees it.
// What is sent instead of a photo is a JPEG of its upright pixels, and a preview costs a quarter.
void TestBatch::damagedPhotosAreNotSent()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, photo);
    QFETCH(QString, reason);
    QFETCH(UploadSize, size);
    QFETCH(QSize, sent);
    if (photo.isEmpty())
        QSKIP("heif-enc (Debian libheif-examples) is needed to make a HEIC photo");

    QTemporaryDir dir;
    FakeService service;
    service.setResponder(answerWithReducedCutout);
    const QString path = dir.filePath(name);
    QVERIFY(writeBytes(path, photo));
    Batch batch(new RemoveBGConn(service.endpoint()));
    batch.connectWorkers();
    batch.setUploadSize(size);
    QStringList lines;
    connect(&batch, &Batch::line, this, [&lines](const QString &line) { lines << line; });
    QSignalSpy accounts(&batch, &Batch::finished);
    batch.start(path, path + QStringLiteral("-no-bg-small.png"), QStringLiteral("k"));
    QTRY_COMPARE_WITH_TIMEOUT(accounts.size(), 1, 10000);
    const BatchAccount account = accounts.at(0).at(0).value<BatchAccount>();
    const PhotoOutcome outcome = account.photos.value(0);
    QCOMPARE(service.uploadCount(), reason.isEmpty() ? 1 : 0);
    QCOMPARE(outcome.kind, reason.isEmpty() ? PhotoOutcome::Saved : PhotoOutcome::Failed);
    const double credits = reason.isEmpty() ? (size == UploadSize::Preview ? 0.25 : 1.0) : 0.0;
    QCOMPARE(account.credits, credits);
    QCOMPARE(lines.contains(QStringLiteral("按预览尺寸发送，每张计 0.25 点额度：本批共计 %1 点").arg(credits)),
             size == UploadSize::Preview);
    if (!reason.isEmpty()) {
        QCOMPARE(outcome.failure, PhotoOutcome::Damaged);
        QCOMPARE(outcome.reasonForReport, reason);
        QVERIFY2(lines.contains(reason), qPrintable(lines.join(QLatin1Char('\n'))));
        QVERIFY(lines.contains(QStringLiteral("失败：%1：%2").arg(name, reason)));
        QVERIFY(!QFile::exists(path + QStringLiteral("-no-bg-small.png")));
        return;
    }
    static const char *const fields[] = {"size=auto&", "size=preview&", "size=full&"};
    const ReceivedUpload upload = service.uploads().front();
    QVERIFY(QByteArray::fromStdString(upload.body).startsWith(fields[int(size)]));
    const QByteArray uploaded = upload.imageBytes();
    if (sent.isEmpty()) {
        QCOMPARE(uploaded, photo);
        return;
    }
    QVERIFY(uploaded.startsWith("\xff\xd8\xff"));
    const cv::Mat decoded = cv::imdecode(cv::Mat(1, uploaded.size(), CV_8U, const_cast<char *>(uploaded.constData())), cv::IMREAD_COLOR);
    QCOMPARE(QSize(decoded.cols, decoded.rows), sent);
}

void TestBatch::aPreviewCostsAQuarterBeforeSending_data()
{
    QTest::addColumn<UploadSize>("size");
    QTest::addColumn<double>("cost"); // of three photos, with 1.5 credits left; asked when over
    QTest::newRow("three previews cost 0.75: sent without a question") << UploadSize::Preview << 0.75;
    QTest::newRow("three at the size auto cost 3: asked first") << UploadSize::Auto << 3.0;
    QTest::newRow("three at full size cost 3: asked first") << UploadSize::Full << 3.0;
}

void TestBatch::aPreviewCostsAQuarterBeforeSending()
{
    QFETCH(UploadSize, size);
    QFETCH(double, cost);

    QTemporaryDir dir;
    FakeService service;
    service.setResponder(answerWithReducedCutout);
    service.setAccountResponder([](const httplib::Request &, httplib::Response &response) {
        response.set_content(R"({"data":{"attributes":{"credits":{"total":1.5}}}})", "application/json");
    });
    for (const char *name : {"a.jpg", "b.jpg", "c.jpg"})
        writeImage(dir.filePath(QLatin1String(name)), photoLike(64, 48));
    Batch batch(new RemoveBGConn(service.endpoint()));
    batch.connectWorkers();
    batch.setUploadSize(size);
    batch.setAsksBeforeSpending(true);
    QVector<double> asked;
    connect(&batch, &Batch::spendingQuestion, this, [&](const SpendingQuestion &question) {
        asked << question.cost;
        batch.answerSpending(true);
    });
    QSignalSpy accounts(&batch, &Batch::finished);
    batch.start(dir.path(), dir.filePath(QStringLiteral("out")), QStringLiteral("k"));
    QTRY_COMPARE_WITH_TIMEOUT(accounts.size(), 1, 10000);
    QCOMPARE(asked, cost > 1.5 ? QVector<double>{cost} : QVector<double>{});
    QCOMPARE(accounts.at(0).at(0).value<BatchAccount>().credits, cost);
}

QTEST_MAIN(TestBatch)
#include "tst_batch.moc"
