// The review window's figures: thumbnails of a folder of 12 MP masters (first tile, all
// tiles, the second opening from the cache, peak memory), the listing of 5,000 results,
// the large view of a 24 MP master (opening, strokes a second), and saving an edit with
// its white JPEG remade, against the floor: decoding the photo and encoding a four-channel
// PNG of it with OpenCV's defaults.
// Usage: bench_review [MASTERS (200)]

#include "benchsupport.h"
#include "brush.h"
#include "compositor.h"
#include "masterfile.h"
#include "outputnames.h"
#include "reviewcanvas.h"
#include "reviewwindow.h"
#include "scaleandmix.h"
#include "thumbnails.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A photo as a JPEG, and its master as a batch makes it: from a cut-out of a quarter of
// its size, a feathered ellipse.
void writePhotoAndMaster(const QString &photo, const QString &master, cv::Size size)
{
    const cv::Mat picture = photographLike(size.width, size.height);
    cv::imwrite(photo.toStdString(), picture, {cv::IMWRITE_JPEG_QUALITY, 90});
    cv::imwrite(master.toStdString(), reducedCutout(picture, size.width / 4, size.height / 4));
    if (ScaleAndMix::composite(photo, master) != ScaleAndMix::Written)
        std::exit(1);
}

struct ThumbnailFigures
{
    double first = 0, all = 0;
};

// One opening of the folder's thumbnails, in a process of its own; its figures come back
// through a file.
RunFigures thumbnailPass(const QVector<reviewitems::Item> &items, const QString &cache, const QString &figures)
{
    return runInChild([&] {
        int argc = 1;
        char name[] = "bench_review";
        char *argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        ThumbnailFigures seen;
        std::atomic<int> done{0};
        const auto start = Clock::now();
        Thumbnails thumbnails(192, cache);
        QObject::connect(&thumbnails, &Thumbnails::ready, &app, [&](int, const Thumbnails::Tile &) {
            if (++done == 1)
                seen.first = msSince(start);
            if (done == items.size()) {
                seen.all = msSince(start);
                app.quit();
            }
        });
        for (int i = 0; i < items.size(); ++i)
            thumbnails.request(i, items.at(i));
        app.exec();
        QFile out(figures);
        if (out.open(QIODevice::WriteOnly))
            out.write(reinterpret_cast<const char *>(&seen), sizeof seen);
    });
}

ThumbnailFigures readFigures(const QString &path)
{
    ThumbnailFigures figures;
    QFile in(path);
    if (in.open(QIODevice::ReadOnly))
        in.read(reinterpret_cast<char *>(&figures), sizeof figures);
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    const int masters = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    QTemporaryDir dir;
    const QString photos = dir.filePath(QStringLiteral("photos")), results = photos + QStringLiteral("-no-bg-small");
    QDir().mkpath(photos);
    QDir().mkpath(results);

    // Every photo a copy of one: each master is its own file to read, all alike to decode.
    // In a child: the writer's thread pool would otherwise be half copied into every fork.
    const QString firstPhoto = photos + QStringLiteral("/p0000.jpg");
    runInChild([&] { writePhotoAndMaster(firstPhoto, outputnames::resultPath(firstPhoto, results, false), {4000, 3000}); });
    for (int i = 1; i < masters; ++i) {
        const QString photo = photos + QStringLiteral("/p%1.jpg").arg(i, 4, 10, QLatin1Char('0'));
        QFile::copy(firstPhoto, photo);
        QFile::copy(outputnames::resultPath(firstPhoto, results, false), outputnames::resultPath(photo, results, false));
    }
    const QVector<reviewitems::Item> items = reviewitems::list(photos, results, {});
    const QString cache = dir.filePath(QStringLiteral("cache")), figures = dir.filePath(QStringLiteral("figures"));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("== Thumbnails of %d masters of 4000 x 3000 on %d threads\n", masters, QThread::idealThreadCount());
    for (const char *pass : {"first opening", "second opening (cache)"}) {
        const RunFigures run = thumbnailPass(items, cache, figures);
        const ThumbnailFigures seen = readFigures(figures);
        std::printf("%-24s first tile %7.0f ms, all tiles %8.0f ms, peak %6.0f MiB\n", pass, seen.first, seen.all,
                    run.peakKilobytes / 1024.0);
    }

    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);

    // 5,000 photos without results: the listing alone, which the window does before it shows.
    {
        QTemporaryDir many;
        for (int i = 0; i < 5000; ++i)
            QFile(many.filePath(QStringLiteral("p%1.jpg").arg(i))).open(QIODevice::WriteOnly);
        const auto start = Clock::now();
        ReviewWindow window(many.path(), QString(), {}, cache);
        std::printf("\n== A review of 5,000 photos opened in %.0f ms (tiles follow in the background)\n", msSince(start));
    }

    // The large view of a 24 MP master, and strokes across it.
    const QString bigPhoto = dir.filePath(QStringLiteral("big.jpg")), bigMaster = dir.filePath(QStringLiteral("big.jpg-no-bg.png"));
    runInChild([&] { writePhotoAndMaster(bigPhoto, bigMaster, {6000, 4000}); });
    ReviewCanvas canvas;
    canvas.resize(1280, 860);
    canvas.show();
    auto start = Clock::now();
    canvas.open(bigMaster, bigPhoto, false, 0);
    app.processEvents();
    std::printf("\n== Large view: a 6000 x 4000 master opened and painted in %.0f ms\n", msSince(start));
    QKeyEvent erase(QEvent::KeyPress, Qt::Key_E, Qt::NoModifier, QStringLiteral("e"));
    QApplication::sendEvent(&canvas, &erase);
    const auto mouse = [&](QEvent::Type type, QPointF at) {
        QMouseEvent event(type, at, Qt::LeftButton, type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&canvas, &event);
    };
    int moves = 0;
    start = Clock::now();
    for (int stroke = 0; stroke < 5; ++stroke) {
        mouse(QEvent::MouseButtonPress, QPointF(100, 150 + stroke * 120));
        for (int x = 100; x < 1180; x += 12, ++moves) {
            mouse(QEvent::MouseMove, QPointF(x, 150 + stroke * 120 + (x % 48)));
            canvas.repaint(); // as a screen would, at every move
        }
        mouse(QEvent::MouseButtonRelease, QPointF(1180, 150 + stroke * 120));
    }
    const double strokeMs = msSince(start);
    std::printf("%d pointer moves over 5 strokes, each repainted: %.1f ms a move, %.0f moves a second\n", moves,
                strokeMs / moves, 1000.0 * moves / strokeMs);

    // Saving the edit, with the white JPEG beside it made again, against the floor.
    const QString photo12 = firstPhoto, master12 = outputnames::resultPath(firstPhoto, results, false);
    std::vector<double> floors, saves;
    cv::Mat colour, alpha;
    masterfile::read(master12, colour, alpha);
    alpha(cv::Rect(0, 0, 400, 300)).setTo(0);
    OutputChoices white;
    white.set(QStringLiteral("format"), QStringLiteral("jpg"));
    const std::string floorTarget = dir.filePath(QStringLiteral("floor.png")).toStdString();
    for (int run = 0; run < 5; ++run) {
        floors.push_back(runInChild([&] {
            const cv::Mat decoded = cv::imread(photo12.toStdString(), cv::IMREAD_COLOR);
            cv::Mat withAlpha;
            cv::cvtColor(decoded, withAlpha, cv::COLOR_BGR2BGRA);
            cv::imwrite(floorTarget, withAlpha);
        }).milliseconds);
        saves.push_back(runInChild([&] {
            ScaleAndMix::Request request;
            request.origin = photo12;
            request.target = master12;
            request.choices = white;
            request.variantPath = outputnames::variantPath(master12, white);
            compositor::saveEdited(request, colour, alpha, 0);
        }).milliseconds);
    }
    std::printf("\n== Saving an edited 4000 x 3000 master and its white JPEG: %.0f ms, the floor %.0f ms: %.3f of it\n",
                median(saves), median(floors), median(saves) / median(floors));
    return 0;
}
