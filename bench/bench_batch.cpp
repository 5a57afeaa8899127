// Whole folders through the engine, the window and quorrin --batch, against the local
// service with a fixed latency: many small photos with one upload at a time and with the
// default four; twelve 12-megapixel photos, where the composites may fall behind; idle time
// after a batch; how long the engine takes to end; and the check of a folder whose results
// are all complete already. Run by scripts/bench.
//
//   bench_batch <quorrin-localservice>              all of it
//   bench_batch run <folder> <jobs> <endpoint>      one batch (the child of a measurement)
//   bench_batch log <folder> <jobs> <endpoint>      the same, printing the log
//   bench_batch idle|close <folder> <jobs> <endpoint>  one batch, then idle time or the end
//   bench_batch window <folder> <jobs> <endpoint>   one batch through the window's start button

#include "batch.h"
#include "benchsupport.h"
#include "removebgconn.h"
#include "widget.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <ctime>
#include <memory>

namespace {

long peakKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    return QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+)")).match(QString::fromLatin1(status.readAll())).captured(1).toLong();
}

// The CPU this process has used so far, user and system, in milliseconds.
double cpuMs()
{
    timespec spent{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &spent);
    return spent.tv_sec * 1e3 + spent.tv_nsec / 1e6;
}

// One batch in this process, through the engine alone: prints the time to the end of the
// uploads, the time to the account (every composite on disk), the process's peak memory,
// whether every photo was saved, and one more figure by mode: for "idle", the share of a
// core used over 10 s of idle time beginning 3 s after the account; for "close", how long
// the engine takes to end once the last cut-out is saved, its composites still queued, as
// when the window closes then.
int runOneBatch(const QString &mode, const QString &folder, int jobs, const QUrl &endpoint)
{
    QElapsedTimer timer;
    timer.start();
    RemoveBGConn::Settings settings;
    settings.jobs = jobs;
    auto batch = std::make_unique<Batch>(new RemoveBGConn(endpoint, settings));
    batch->connectWorkers();
    batch->setRedo(true);
    QStringList log;
    QObject::connect(batch.get(), &Batch::line, [&](const QString &line) { log << line; });
    QEventLoop loop;
    double uploadsMs = 0;
    QObject::connect(batch->client(), &RemoveBGConn::uploadsEnded, batch.get(), [&] {
        uploadsMs = timer.nsecsElapsed() / 1e6;
        if (mode == QLatin1String("close"))
            loop.quit();
    });
    bool clean = false;
    QObject::connect(batch.get(), &Batch::finished, [&](const BatchAccount &account) {
        clean = account.count(PhotoOutcome::Saved) == account.photos.size();
        loop.quit();
    });
    batch->start(folder, folder + QStringLiteral("-no-bg-small"), QStringLiteral("bench"));
    loop.exec();
    double allMs = timer.nsecsElapsed() / 1e6;
    double more = -1;
    if (mode == QLatin1String("idle")) {
        // A real event loop, as the window's: it sleeps until something happens.
        const auto idleFor = [&loop](int ms) {
            QTimer::singleShot(ms, &loop, &QEventLoop::quit);
            loop.exec();
        };
        idleFor(3000);
        const double before = cpuMs();
        QElapsedTimer idle;
        idle.start();
        idleFor(10000);
        more = (cpuMs() - before) / idle.elapsed();
    } else if (mode == QLatin1String("close")) {
        QElapsedTimer ending;
        ending.start();
        batch.reset();
        more = ending.nsecsElapsed() / 1e6;
        allMs = 0;
    }
    if (mode == QLatin1String("log"))
        std::printf("%s\n", qUtf8Printable(log.join(QLatin1Char('\n'))));
    else
        std::printf("%.0f %.0f %ld %d %.4f\n", uploadsMs, allMs, peakKilobytes(), clean ? 1 : 0, more);
    return 0;
}

// One batch through the window's own start button, offscreen: the peak of the window's process.
int runInWindow(const QString &folder, int jobs, const QUrl &endpoint)
{
    QElapsedTimer timer;
    timer.start();
    Widget window(endpoint, jobs);
    window.setRedo(true);
    window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(QStringLiteral("bench"));
    window.findChild<QLineEdit *>(QStringLiteral("inputEdit"))->setText(folder);
    QEventLoop loop;
    bool clean = false;
    QObject::connect(window.findChild<Batch *>(), &Batch::finished, [&](const BatchAccount &account) {
        clean = account.count(PhotoOutcome::Saved) == account.photos.size();
        loop.quit();
    });
    window.findChild<QPushButton *>(QStringLiteral("matBtn"))->click();
    loop.exec();
    std::printf("0 %.0f %ld %d -1\n", timer.nsecsElapsed() / 1e6, peakKilobytes(), clean ? 1 : 0);
    return 0;
}

struct Service
{
    Service(const QString &program, int delayMs, const QStringList &more = {})
    {
        // The subject is a fixed ellipse: a distant service does its cutting on its own cores.
        process.start(program, QStringList{"--port", "0", "--quick", "--delay-ms", QString::number(delayMs)} << more);
        process.waitForReadyRead(10000);
        const auto match = QRegularExpression(QStringLiteral(":(\\d+)/v1.0/removebg")).match(QString::fromUtf8(process.readLine()));
        endpoint = QUrl(QStringLiteral("http://127.0.0.1:%1/v1.0/removebg").arg(match.captured(1)));
    }
    ~Service()
    {
        process.kill();
        process.waitForFinished();
    }
    QProcess process;
    QUrl endpoint;
};

struct BatchFigures
{
    double uploadsMs = 0, allMs = 0;
    long peakKb = 0;
    bool clean = false;
    double more = -1; // the idle share of a core, or the milliseconds to end, by mode
};

BatchFigures measureBatch(const QString &folder, int jobs, const QUrl &endpoint, const QString &mode = QStringLiteral("run"))
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {mode, folder, QString::number(jobs), endpoint.toString()});
    child.waitForFinished(-1);
    const QStringList fields = QString::fromUtf8(child.readAllStandardOutput()).split(QLatin1Char(' '));
    if (fields.size() < 5)
        return {};
    return {fields.at(0).toDouble(), fields.at(1).toDouble(), fields.at(2).toLong(), fields.at(3) == QLatin1String("1"),
            fields.at(4).trimmed().toDouble()};
}

QString makeFolder(const QString &parent, const QString &name, int count, int width, int height)
{
    const QString folder = QDir(parent).filePath(name);
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        const std::string path = QStringLiteral("%1/photo%2.jpg").arg(folder).arg(i, 3, 10, QLatin1Char('0')).toStdString();
        runInChild([&] { cv::imwrite(path, photographLike(width, height, 100 + i), {cv::IMWRITE_JPEG_QUALITY, 92}); });
    }
    return folder;
}

void compareJobs(const QString &title, const QString &folder, int photos, const QUrl &endpoint)
{
    std::printf("== %s\n", qPrintable(title));
    std::printf("%-8s %16s %22s %14s\n", "jobs", "to 全部完成 (ms)", "to last composite (ms)", "peak (MiB)");
    BatchFigures one;
    for (int jobs : {1, 4}) {
        const BatchFigures figures = measureBatch(folder, jobs, endpoint);
        std::printf("%-8d %16.0f %22.0f %14.1f%s\n", jobs, figures.uploadsMs, figures.allMs, figures.peakKb / 1024.0,
                    figures.clean ? "" : "  (some photo failed)");
        if (jobs == 1)
            one = figures;
        else
            std::printf("ratio 4 to 1: time %.3f to 全部完成, %.3f to the last composite; peak %.3f (%d photos)\n",
                        figures.uploadsMs / one.uploadsMs, figures.allMs / one.allMs, double(figures.peakKb) / one.peakKb,
                        photos);
    }
    std::fflush(stdout);
}

// The same folder through quorrin --batch, as a script would run it: its wall-clock time and
// its peak memory, read from /proc while it runs.
void compareHeadless(const QString &folder, int photos, const QUrl &endpoint)
{
    std::printf("== quorrin --batch: %d photos of 640 x 480, service latency 1.0 s\n", photos);
    std::printf("%-8s %12s %14s %8s\n", "jobs", "time (ms)", "peak (MiB)", "status");
    double one = 0;
    for (int jobs : {1, 4}) {
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QUORRIN_API_KEY"), QStringLiteral("bench"));
        environment.insert(QStringLiteral("QUORRIN_SERVICE_URL"), endpoint.toString());
        environment.remove(QStringLiteral("DISPLAY"));
        program.setProcessEnvironment(environment);
        program.setStandardOutputFile(QProcess::nullDevice());
        QElapsedTimer timer;
        timer.start();
        program.start(QStringLiteral(QUORRIN_PROGRAM), {"--batch", folder, "--redo", "--jobs", QString::number(jobs)});
        program.waitForStarted();
        long peak = 0;
        const QString status = QStringLiteral("/proc/%1/status").arg(program.processId());
        while (!program.waitForFinished(20)) {
            QFile file(status);
            if (file.open(QIODevice::ReadOnly))
                peak = std::max(peak, QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+)")).match(QString::fromLatin1(file.readAll())).captured(1).toLong());
        }
        const double ms = timer.nsecsElapsed() / 1e6;
        std::printf("%-8d %12.0f %14.1f %8d\n", jobs, ms, peak / 1024.0, program.exitCode());
        if (jobs == 1)
            one = ms;
        else
            std::printf("ratio 4 to 1: %.3f\n", ms / one);
    }
    const BatchFigures window = measureBatch(folder, 4, endpoint, QStringLiteral("window"));
    std::printf("the window, 4 at once: %.0f ms, peak %.1f MiB\n", window.allMs, window.peakKb / 1024.0);
    std::fflush(stdout);
}

// Every fourth request answered 429 with Retry-After: 1, so about a quarter of the photos
// are refused at first: every one must still be saved at full size, with no error line.
void rateLimitedBatch(const QString &program, const QString &folder, int photos)
{
    Service service(program, 1000, {"--fail-every", "4", "--fail-status", "429"});
    std::printf("== %d photos of 640 x 480, service latency 1.0 s, every fourth request answered 429 (Retry-After: 1)\n", photos);
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"log", folder, "4", service.endpoint.toString()});
    child.waitForFinished(-1);
    const QString log = QString::fromUtf8(child.readAllStandardOutput());
    std::printf("%lld retries, %lld saved, %lld error lines; %s\n", static_cast<long long>(log.count(QStringLiteral("HTTP 429"))),
                static_cast<long long>(log.count(QStringLiteral("保存成功！"))),
                static_cast<long long>(log.count(QStringLiteral("失败："))), qPrintable(log.section(QLatin1Char('\n'), -3, -2)));
    std::fflush(stdout);
}

// Batch::start on a folder whose photos all have complete results: headers only.
void checkFinishedFolder(const QString &parent, int count)
{
    const QString folder = QDir(parent).filePath(QStringLiteral("finished"));
    const QString results = folder + QStringLiteral("-no-bg-small");
    QDir().mkpath(folder);
    QDir().mkpath(results);
    std::vector<uchar> jpeg, png;
    cv::imencode(".jpg", photographLike(640, 480), jpeg);
    cv::imencode(".png", reducedCutout(photographLike(640, 480), 640, 480), png);
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("photo%1.jpg").arg(i, 4, 10, QLatin1Char('0'));
        QFile photo(folder + QLatin1Char('/') + name);
        photo.open(QIODevice::WriteOnly);
        photo.write(reinterpret_cast<const char *>(jpeg.data()), qint64(jpeg.size()));
        photo.close();
        QFile result(results + QLatin1Char('/') + name + QStringLiteral("-no-bg.png"));
        result.open(QIODevice::WriteOnly);
        result.write(reinterpret_cast<const char *>(png.data()), qint64(png.size()));
        result.close();
        result.open(QIODevice::Append);
        result.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime);
    }
    std::printf("== Checking a folder of %d finished photos (640 x 480 JPEGs, complete results)\n", count);
    double checkMs = 0;
    for (int run = 0; run < 3; ++run) {
        Batch batch(new RemoveBGConn(QUrl(QStringLiteral("http://127.0.0.1:1/v1.0/removebg"))));
        batch.connectWorkers();
        int skipped = 0, sent = 0;
        QObject::connect(&batch, &Batch::addTask, [&] { ++sent; });
        QObject::connect(&batch, &Batch::finished,
                         [&](const BatchAccount &account) { skipped = account.count(PhotoOutcome::Skipped); });
        QElapsedTimer timer;
        timer.start();
        batch.start(folder, results, QStringLiteral("bench"));
        checkMs = timer.nsecsElapsed() / 1e6;
        std::printf("run %d: %.0f ms, %d skipped, %d to send\n", run + 1, checkMs, skipped, sent);
    }
    // What --shard adds: each photo's name hashed once, against the least a photo costs.
    Shard share;
    share.count = 3;
    const QStringList names = QDir(folder).entryList(QDir::Files);
    int taken = 0;
    QElapsedTimer timer;
    timer.start();
    for (int round = 0; round < 100; ++round)
        for (const QString &name : names)
            taken += share.takes(name);
    const double perName = timer.nsecsElapsed() / 1e3 / (100.0 * names.size());
    std::printf("--shard 1/3: %.3f us a photo to choose it (%d of %d taken), against %.1f us a photo to check a "
                "finished one: %.5f of it\n",
                perName, taken / 100, int(names.size()), checkMs * 1e3 / count, perName / (checkMs * 1e3 / count));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 5 && arguments.at(1) == QLatin1String("window"))
        return runInWindow(arguments.at(2), arguments.at(3).toInt(), QUrl(arguments.at(4)));
    if (arguments.size() == 5 && QStringList({"run", "log", "idle", "close"}).contains(arguments.at(1)))
        return runOneBatch(arguments.at(1), arguments.at(2), arguments.at(3).toInt(), QUrl(arguments.at(4)));
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: bench_batch <quorrin-localservice>\n");
        return 2;
    }

    QTemporaryDir dir;
    std::printf("making photos...\n");
    std::fflush(stdout);
    const QString small = makeFolder(dir.path(), QStringLiteral("small"), 48, 640, 480);
    {
        Service service(arguments.at(1), 1000);
        compareJobs(QStringLiteral("48 photos of 640 x 480, service latency 1.0 s"), small, 48, service.endpoint);
        compareHeadless(small, 48, service.endpoint);
    }
    rateLimitedBatch(arguments.at(1), small, 48);
    const QString large = makeFolder(dir.path(), QStringLiteral("large"), 12, 4000, 3000);
    {
        Service service(arguments.at(1), 200);
        compareJobs(QStringLiteral("12 photos of 4000 x 3000, service latency 0.2 s"), large, 12, service.endpoint);
        for (int run = 0; run < 3; ++run) {
            const BatchFigures idle = measureBatch(large, 4, service.endpoint, QStringLiteral("idle"));
            std::printf("== Idle: the same 12 photos with 4 uploads at once, then 10 s from 3 s after the account: "
                        "%.2f %% of a core\n", idle.more * 100);
            const BatchFigures close = measureBatch(large, 4, service.endpoint, QStringLiteral("close"));
            std::printf("== Ending the engine once the last cut-out is saved, composites queued: %.0f ms\n", close.more);
            std::fflush(stdout);
        }
    }
    checkFinishedFolder(dir.path(), 2000);
    return 0;
}
