// Compositing a 4000 x 3000 photo with a 1000 x 750 cut-out, against a floor: decoding the
// same source and encoding a four-channel PNG of it with default settings. The composite
// runs with its PNG writer on one thread and on one per core. Each run is a
// fresh process, so the peak memory figures are the run's own.

#include "benchsupport.h"
#include "scaleandmix.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// Real photographs, given on the command line: for each, the composite with the PNG writer
// on every core against the floor in time, and against OpenCV's PNG of the same pixels in size.
int comparePhotos(int runs, const std::vector<std::string> &photos)
{
    QTemporaryDir dir;
    const QString cutout = QDir(dir.path()).filePath(QStringLiteral("cutout.png"));
    const QString target = QDir(dir.path()).filePath(QStringLiteral("photo-no-bg.png"));
    const std::string floorTarget = QDir(dir.path()).filePath(QStringLiteral("floor.png")).toStdString();
    std::vector<double> sizeRatios, timeRatios;
    std::printf("%-44s %11s %9s %9s %11s %10s\n", "photo", "size", "floor ms", "ours ms", "time ratio", "size ratio");
    for (const std::string &source : photos) {
        cv::Size size;
        runInChild([&] {
            const cv::Mat photo = cv::imread(source, cv::IMREAD_COLOR);
            cv::imwrite(cutout.toStdString(), reducedCutout(photo, photo.cols / 4, photo.rows / 4));
        });
        std::vector<double> floorMs, oursMs;
        for (int i = 0; i < runs; ++i) {
            floorMs.push_back(runInChild([&] {
                cv::Mat withAlpha;
                cv::cvtColor(cv::imread(source, cv::IMREAD_COLOR), withAlpha, cv::COLOR_BGR2BGRA);
                cv::imwrite(floorTarget, withAlpha);
            }).milliseconds);
            QFile::remove(target);
            QFile::copy(cutout, target);
            oursMs.push_back(runInChild([&] { ScaleAndMix::composite(QString::fromStdString(source), target, 0); }).milliseconds);
        }
        // The size against OpenCV's encoder on the very same pixels, alpha included.
        const cv::Mat result = cv::imread(target.toStdString(), cv::IMREAD_UNCHANGED);
        cv::imwrite(floorTarget, result);
        const double sizeRatio = double(QFile(target).size()) / double(QFile(QString::fromStdString(floorTarget)).size());
        const double timeRatio = median(oursMs) / median(floorMs);
        sizeRatios.push_back(sizeRatio);
        timeRatios.push_back(timeRatio);
        const std::string name = source.size() > 44 ? source.substr(source.size() - 44) : source;
        std::printf("%-44s %5dx%-5d %9.0f %9.0f %11.3f %10.3f%s\n", name.c_str(), result.cols, result.rows, median(floorMs),
                    median(oursMs), timeRatio, sizeRatio, result.type() == CV_8UC4 ? "" : "  (no composite!)");
        std::fflush(stdout);
    }
    std::printf("size ratio: median %.3f, largest %.3f; time ratio: median %.3f, largest %.3f\n", median(sizeRatios),
                *std::max_element(sizeRatios.begin(), sizeRatios.end()), median(timeRatios),
                *std::max_element(timeRatios.begin(), timeRatios.end()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
    if (argc > 2)
        return comparePhotos(runs, std::vector<std::string>(argv + 2, argv + argc));
    QTemporaryDir dir;
    const std::string source = QDir(dir.path()).filePath(QStringLiteral("photo.jpg")).toStdString();
    const QString cutout = QDir(dir.path()).filePath(QStringLiteral("cutout.png"));
    const QString target = QDir(dir.path()).filePath(QStringLiteral("photo.jpg-no-bg.png"));
    const std::string floorTarget = QDir(dir.path()).filePath(QStringLiteral("floor.png")).toStdString();

    // Made in a child, so that this process stays small when it forks the measured runs.
    runInChild([&] {
        const cv::Mat photo = photographLike(4000, 3000);
        cv::imwrite(source, photo, {cv::IMWRITE_JPEG_QUALITY, 92});
        cv::imwrite(cutout.toStdString(), reducedCutout(photo, 1000, 750));
    });
    std::printf("source %s: %lld bytes; cut-out: %lld bytes; %d runs each\n", source.c_str(),
                static_cast<long long>(QFile(QString::fromStdString(source)).size()),
                static_cast<long long>(QFile(cutout).size()), runs);

    // The composite with the PNG writer on one thread, then on one per core.
    const int cores = QThread::idealThreadCount();
    const int threadCounts[] = {1, cores};
    std::vector<double> floorMs, floorKb, compositeMs[2], compositeKb[2];
    qint64 compositeBytes = 0;
    for (int i = 0; i < runs; ++i) {
        const RunFigures floor = runInChild([&] {
            cv::Mat photo = cv::imread(source, cv::IMREAD_COLOR);
            cv::Mat withAlpha;
            cv::cvtColor(photo, withAlpha, cv::COLOR_BGR2BGRA);
            photo.release();
            cv::imwrite(floorTarget, withAlpha);
        });
        floorMs.push_back(floor.milliseconds);
        floorKb.push_back(double(floor.peakKilobytes));
        for (int t = 0; t < 2; ++t) {
            QFile::remove(target);
            QFile::copy(cutout, target);
            const RunFigures composite = runInChild(
                [&] { ScaleAndMix::composite(QString::fromStdString(source), target, threadCounts[t]); });
            compositeMs[t].push_back(composite.milliseconds);
            compositeKb[t].push_back(double(composite.peakKilobytes));
            const cv::Mat result = cv::imread(target.toStdString(), cv::IMREAD_UNCHANGED);
            if (result.cols != 4000 || result.rows != 3000 || result.type() != CV_8UC4) {
                std::printf("composite did not produce a 4000 x 3000 four-channel image\n");
                return 1;
            }
            compositeBytes = QFile(target).size();
        }
    }
    const qint64 floorBytes = QFile(QString::fromStdString(floorTarget)).size();
    std::printf("output PNG: %lld bytes (floor's: %lld bytes), ratio %.3f\n", static_cast<long long>(compositeBytes),
                static_cast<long long>(floorBytes), double(compositeBytes) / double(floorBytes));

    const double fMs = median(floorMs), fKb = median(floorKb);
    std::printf("%-22s %12s %16s %10s %10s\n", "", "median ms", "peak memory MiB", "time ratio", "mem ratio");
    std::printf("%-22s %12.1f %16.1f\n", "floor", fMs, fKb / 1024);
    double ms[2];
    for (int t = 0; t < 2; ++t) {
        ms[t] = median(compositeMs[t]);
        const double kb = median(compositeKb[t]);
        const std::string label = "composite, " + std::to_string(threadCounts[t]) + " thread(s)";
        std::printf("%-22s %12.1f %16.1f %10.3f %10.3f\n", label.c_str(), ms[t], kb / 1024, ms[t] / fMs, kb / fKb);
    }
    // Amdahl's law from the two runs: the share of one thread's time that does not spread.
    if (cores > 1) {
        const double parallel = (1 - ms[1] / ms[0]) / (1 - 1.0 / cores);
        const double serial = std::clamp(1 - parallel, 0.0, 1.0);
        const double eight = ms[0] * (serial + (1 - serial) / 8);
        std::printf("serial fraction %.3f; expected with 8 cores: %.1f ms (%.3f of this floor)\n", serial, eight,
                    eight / fMs);
    }
    return 0;
}
