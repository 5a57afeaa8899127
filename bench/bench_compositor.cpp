// Compositing a 4000 x 3000 photo with a 1000 x 750 cut-out, against a floor: decoding the
// same source and encoding a four-channel PNG of it with default settings. Each run is a
// fresh process, so the peak memory figures are the run's own.

#include "benchsupport.h"
#include "scaleandmix.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
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

    std::vector<double> floorMs, floorKb, compositeMs, compositeKb;
    for (int i = 0; i < runs; ++i) {
        const RunFigures floor = runInChild([&] {
            cv::Mat photo = cv::imread(source, cv::IMREAD_COLOR);
            cv::Mat withAlpha;
            cv::cvtColor(photo, withAlpha, cv::COLOR_BGR2BGRA);
            photo.release();
            cv::imwrite(floorTarget, withAlpha);
        });
        QFile::remove(target);
        QFile::copy(cutout, target);
        const RunFigures composite = runInChild([&] { ScaleAndMix::composite(QString::fromStdString(source), target); });
        floorMs.push_back(floor.milliseconds);
        floorKb.push_back(double(floor.peakKilobytes));
        compositeMs.push_back(composite.milliseconds);
        compositeKb.push_back(double(composite.peakKilobytes));
    }
    const cv::Mat result = cv::imread(target.toStdString(), cv::IMREAD_UNCHANGED);
    if (result.cols != 4000 || result.rows != 3000 || result.type() != CV_8UC4) {
        std::printf("composite did not produce a 4000 x 3000 four-channel image\n");
        return 1;
    }
    std::printf("output PNG: %lld bytes (floor's: %lld bytes)\n", static_cast<long long>(QFile(target).size()),
                static_cast<long long>(QFile(QString::fromStdString(floorTarget)).size()));

    const double fMs = median(floorMs), cMs = median(compositeMs);
    const double fKb = median(floorKb), cKb = median(compositeKb);
    std::printf("%-10s %12s %16s\n", "", "median ms", "peak memory MiB");
    std::printf("%-10s %12.1f %16.1f\n", "floor", fMs, fKb / 1024);
    std::printf("%-10s %12.1f %16.1f\n", "composite", cMs, cKb / 1024);
    std::printf("%-10s %12.3f %16.3f\n", "ratio", cMs / fMs, cKb / fKb);
    return 0;
}
