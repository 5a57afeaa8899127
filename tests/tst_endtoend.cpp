#include "composite.h"
#include "fakeservice.h"
#include "testimages.h"
#include "batch.h"
#include "removebgconn.h"
#include "scaleandmix.h"
#include "widget.h"
#include "windowlog.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { stopAfterAFailedRow(); }
    void folderThenSingleFile();

private:
    void checkRebuilt(const QString &source, const QString &output);
};

void TestEndToEnd::checkRebuilt(const QString &source, const QString &output)
{
    const cv::Mat photo = readImage(source, cv::IMREAD_COLOR);
    cv::Mat result;
    // The composite replaces the saved cut-out a little after "保存成功！".
    QTRY_VERIFY_WITH_TIMEOUT((result = readImage(output, cv::IMREAD_UNCHANGED)).size() == photo.size(), 5000);
    QCOMPARE(result.type(), CV_8UC4);
    cv::Mat colour, alpha;
    cv::cvtColor(result, colour, cv::COLOR_BGRA2BGR);
    cv::extractChannel(result, alpha, 3);
    QCOMPARE(cv::norm(colour, hiddenCleared(photo, alpha), cv::NORM_INF), 0.0);
    double lowest = 0, highest = 0;
    cv::minMaxLoc(alpha, &lowest, &highest);
    QCOMPARE(lowest, 0.0);
    QCOMPARE(highest, 255.0);
    cv::Mat expected;
    cv::resize(serviceAlpha({photo.cols / 4, photo.rows / 4}), expected, photo.size(), 0, 0, cv::INTER_LANCZOS4);
    QCOMPARE(cv::norm(alpha, expected, cv::NORM_INF), 0.0);
}

void TestEndToEnd::folderThenSingleFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    FakeService service;
    service.setResponder(answerWithReducedCutout);
    Widget window(service.endpoint(), 4);
    window.show();

    const QString folder = dir.filePath(QStringLiteral("photos"));
    QVERIFY(QDir().mkpath(folder));
    const QStringList names{"beach.jpg", "Portrait.JPG", "shoe.png"};
    const QList<QSize> sizes{{640, 480}, {360, 480}, {400, 400}};
    for (int i = 0; i < names.size(); ++i)
        writeImage(folder + QLatin1Char('/') + names.at(i), photoLike(sizes.at(i).width(), sizes.at(i).height(), 3, i));

    auto *input = window.findChild<QLineEdit *>(QStringLiteral("inputEdit"));
    auto *matBtn = window.findChild<QPushButton *>(QStringLiteral("matBtn"));
    QTest::keyClicks(window.findChild<QLineEdit *>(QStringLiteral("lineEdit")), QStringLiteral("demo-key"));
    input->setText(folder);
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    QTest::mouseClick(matBtn, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(windowLog(&window).count(QStringLiteral("全部完成！")) == 1, 5000);
    QCOMPARE(windowLog(&window).count(QStringLiteral("保存成功！")), 3);

    const QString outputFolder = folder + QStringLiteral("-no-bg-small");
    QCOMPARE(QDir(outputFolder).entryList(QDir::Files, QDir::Name | QDir::IgnoreCase),
             QStringList({"beach.jpg-no-bg.png", "Portrait.JPG-no-bg.png", "shoe.png-no-bg.png"}));
    for (const QString &name : names)
        checkRebuilt(folder + QLatin1Char('/') + name, outputFolder + QLatin1Char('/') + name + QStringLiteral("-no-bg.png"));

    // Then one file on its own, through the same window.
    const QString single = folder + QStringLiteral("/beach.jpg");
    input->setText(single);
    QTest::mouseClick(matBtn, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(windowLog(&window).count(QStringLiteral("全部完成！")) == 2, 5000);
    checkRebuilt(single, single + QStringLiteral("-no-bg-small.png"));

    QCOMPARE(service.uploadCount(), 4);
    for (const ReceivedUpload &upload : service.uploads())
        QCOMPARE(upload.apiKey, std::string("demo-key"));

    // The folder once more: every result is complete, so nothing is bought twice; and the
    // single file's result beside its photo is the program's own, never a photo.
    input->setText(folder);
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    QSignalSpy accounts(window.findChild<Batch *>(), &Batch::finished);
    QTest::mouseClick(matBtn, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(accounts.size(), 1, 5000);
    QCOMPARE(service.uploadCount(), 4);
    const auto account = accounts.at(0).at(0).value<BatchAccount>();
    QCOMPARE(account.photos.size(), 3);
    QCOMPARE(account.count(PhotoOutcome::Skipped), 3);
    QVERIFY(windowLog(&window).join(QLatin1Char('\n')).contains(QStringLiteral("文件夹里另有 1 个文件不是 png、jpg 或 jpeg 照片（其中 1 个是本程序的结果），不会发送\n"
                                                                        "已跳过 3 张结果已存在且完整的照片")));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
