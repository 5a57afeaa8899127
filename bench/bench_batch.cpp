// A whole folder batch through the window, against the local service with a fixed latency:
// ten 4000 x 3000 JPEGs. The bound is ten service round trips plus one composite, since each
// composite should overlap the next upload. Run by scripts/bench.

#include "benchsupport.h"
#include "removebgconn.h"
#include "scaleandmix.h"
#include "widget.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <memory>

namespace {

// Runs the event loop until `done` holds.
template<typename Predicate>
void waitUntil(Predicate done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const int photoCount = 10;
    const int delayMs = arguments.size() > 2 ? arguments.at(2).toInt() : 1000;
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: bench_batch <quorrin-localservice> [delay ms]\n");
        return 2;
    }

    QTemporaryDir dir;
    const QString photos = QDir(dir.path()).filePath(QStringLiteral("photos"));
    QDir().mkpath(photos);
    std::printf("making %d photos of 4000 x 3000...\n", photoCount);
    std::fflush(stdout);
    QStringList paths;
    for (int i = 0; i < photoCount; ++i) {
        paths << QStringLiteral("%1/photo%2.jpg").arg(photos).arg(i, 2, 10, QLatin1Char('0'));
        const std::string path = paths.last().toStdString();
        runInChild([&] { cv::imwrite(path, photographLike(4000, 3000, 100 + i), {cv::IMWRITE_JPEG_QUALITY, 92}); });
    }

    QProcess service;
    service.start(arguments.at(1), {"--port", "0", "--delay-ms", QString::number(delayMs)});
    service.waitForReadyRead(10000);
    const QString banner = QString::fromUtf8(service.readLine());
    const auto match = QRegularExpression(QStringLiteral(":(\\d+)/v1.0/removebg")).match(banner);
    if (!match.hasMatch()) {
        std::fprintf(stderr, "the local service did not start: %s\n", qPrintable(banner));
        return 1;
    }
    const QUrl endpoint(QStringLiteral("http://127.0.0.1:%1/v1.0/removebg").arg(match.captured(1)));

    // Ten round trips, one after another, with nothing else running.
    double roundTripsMs = 0;
    QByteArray lastCutout;
    {
        RemoveBGConn client(endpoint);
        int answered = 0;
        QObject::connect(&client, &RemoveBGConn::receivedData, [&](const QByteArray &body) { lastCutout = body; });
        QObject::connect(&client, &RemoveBGConn::connectInfo, [&](const QString &info) {
            if (info == QStringLiteral("\n全部完成！"))
                ++answered;
        });
        for (const QString &path : paths) {
            QElapsedTimer timer;
            timer.start();
            const int before = answered;
            client.clearData();
            client.postData(path, QStringLiteral("bench"), true);
            waitUntil([&] { return answered > before; });
            roundTripsMs += timer.nsecsElapsed() / 1e6;
        }
    }
    const QString target = QDir(dir.path()).filePath(QStringLiteral("one.png"));
    {
        QFile file(target);
        file.open(QIODevice::WriteOnly);
        file.write(lastCutout);
    }
    QElapsedTimer compositeTimer;
    compositeTimer.start();
    ScaleAndMix::composite(paths.last(), target);
    const double compositeMs = compositeTimer.nsecsElapsed() / 1e6;

    // The batch through the window's own buttons; it ends when the window is gone, which
    // waits for the last composite.
    QElapsedTimer batchTimer;
    batchTimer.start();
    auto window = std::make_unique<Widget>(endpoint);
    window->findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(QStringLiteral("bench"));
    window->findChild<QLineEdit *>(QStringLiteral("inputEdit"))->setText(photos);
    window->findChild<QPushButton *>(QStringLiteral("matBtn"))->click();
    auto *log = window->findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
    waitUntil([&] { return log->toPlainText().contains(QStringLiteral("全部完成！")); });
    const double uploadsDoneMs = batchTimer.nsecsElapsed() / 1e6;
    const int saved = log->toPlainText().count(QStringLiteral("保存成功！"));
    window.reset();
    const double batchMs = batchTimer.nsecsElapsed() / 1e6;
    service.kill();
    service.waitForFinished();

    int fullSize = 0;
    for (const QString &path : paths) {
        const cv::Mat out = cv::imread((photos + QStringLiteral("-no-bg-small/") + QFileInfo(path).fileName()
                                        + QStringLiteral("-no-bg.png")).toStdString(), cv::IMREAD_UNCHANGED);
        fullSize += out.cols == 4000 && out.rows == 3000 && out.channels() == 4;
    }

    const double bound = roundTripsMs + compositeMs;
    std::printf("service latency %d ms; %d photos saved, %d rebuilt at 4000 x 3000\n", delayMs, saved, fullSize);
    std::printf("ten round trips       %9.0f ms (%.0f ms each)\n", roundTripsMs, roundTripsMs / photoCount);
    std::printf("one composite         %9.0f ms\n", compositeMs);
    std::printf("bound (sum of both)   %9.0f ms\n", bound);
    std::printf("batch, last reply     %9.0f ms\n", uploadsDoneMs);
    std::printf("batch, last composite %9.0f ms\n", batchMs);
    std::printf("ratio to the bound    %9.3f (target 1.10 or less)\n", batchMs / bound);
    return fullSize == photoCount ? 0 : 1;
}
