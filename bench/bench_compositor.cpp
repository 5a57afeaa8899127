// Compositing a 4000 x 3000 photo with a 1000 x 750 cut-out, against a floor: decoding the
// same source and encoding a four-channel PNG of it with default settings. The composite
// runs with its PNG writer on one thread and on one per core. Each run is a
// fresh process, so the peak memory figures are the run's own.

#include "benchsupport.h"
#include "edgerefiner.h"
#include "outputchoices.h"
#include "outputnames.h"
#include "photocheck.h"
#include "photometadata.h"
#include "scaleandmix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <lcms2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cmath>

namespace {

OutputChoices choicesOf(std::initializer_list<std::pair<const char *, const char *>> options)
{
    OutputChoices choices;
    for (const auto &[option, value] : options)
        choices.set(QLatin1String(option), QLatin1String(value));
    return choices;
}

// A shop's file: white, cropped, square, JPEG.
const OutputChoices shopChoices = choicesOf({{"format", "jpg"}, {"crop", ""}, {"canvas", "square"}});
const OutputChoices smallChoices = choicesOf({{"png", "small"}});
const OutputChoices presetChoices = choicesOf({{"preset", "amazon"}});

// A wide-gamut profile like Adobe RGB (1998): a preset's file is converted from it to sRGB.
std::vector<unsigned char> wideGamutProfile()
{
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 2.19921875);
    cmsToneCurve *curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<unsigned char> bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(gamma);
    return bytes;
}

// The time of one make() from a fresh copy of the cut-out (or, fromMaster, of the master).
double timeMake(const QString &source, const QString &target, const QString &startingFile, const OutputChoices &choices,
                bool fromMaster)
{
    QFile::remove(target);
    QFile::copy(startingFile, target);
    return runInChild([&] { ScaleAndMix::make({source, target, choices, fromMaster, {}, outputnames::variantPath(target, choices),
                                              outputnames::maskPath(target, choices)},
                                             0); }).milliseconds;
}

// Real photographs, given on the command line: for each, the composite with the PNG writer
// on every core against the floor in time, and against OpenCV's PNG of the same pixels in size.
int comparePhotos(int runs, const std::vector<std::string> &photos)
{
    QTemporaryDir dir;
    const QString cutout = QDir(dir.path()).filePath(QStringLiteral("cutout.png"));
    const QString target = QDir(dir.path()).filePath(QStringLiteral("photo-no-bg.png"));
    const std::string floorTarget = QDir(dir.path()).filePath(QStringLiteral("floor.png")).toStdString();
    const QString master = QDir(dir.path()).filePath(QStringLiteral("master.png"));
    std::vector<double> sizeRatios, timeRatios, shopExtra, laterRatios, smallRatios, smallTimes;
    std::printf("%-30s %11s %8s %8s %7s %7s %7s %7s %7s %7s\n", "photo", "size", "floor ms", "ours ms", "time", "bytes",
                "+shop", "later", "small", "s.time");
    for (const std::string &source : photos) {
        cv::Size size;
        runInChild([&] {
            const cv::Mat photo = cv::imread(source, cv::IMREAD_COLOR);
            cv::imwrite(cutout.toStdString(), reducedCutout(photo, photo.cols / 4, photo.rows / 4));
        });
        std::vector<double> floorMs, oursMs, shopMs, laterMs, smallMs;
        qint64 smallBytes = 0;
        for (int i = 0; i < runs; ++i) {
            floorMs.push_back(runInChild([&] {
                cv::Mat withAlpha;
                cv::cvtColor(cv::imread(source, cv::IMREAD_COLOR), withAlpha, cv::COLOR_BGR2BGRA);
                cv::imwrite(floorTarget, withAlpha);
            }).milliseconds);
            QFile::remove(target);
            QFile::copy(cutout, target);
            oursMs.push_back(runInChild([&] { ScaleAndMix::composite(QString::fromStdString(source), target, 0); }).milliseconds);
            QFile::remove(master);
            QFile::copy(target, master);
            smallMs.push_back(timeMake(QString::fromStdString(source), target, cutout, smallChoices, false));
            smallBytes = QFile(target).size();
            shopMs.push_back(timeMake(QString::fromStdString(source), target, cutout, shopChoices, false));
            laterMs.push_back(timeMake(QString::fromStdString(source), target, master, shopChoices, true));
            QFile::remove(target);
            QFile::copy(master, target);
        }
        // The size against OpenCV's encoder on the very same pixels, alpha included.
        const cv::Mat result = cv::imread(target.toStdString(), cv::IMREAD_UNCHANGED);
        cv::imwrite(floorTarget, result);
        const double sizeRatio = double(QFile(target).size()) / double(QFile(QString::fromStdString(floorTarget)).size());
        const double timeRatio = median(oursMs) / median(floorMs);
        sizeRatios.push_back(sizeRatio);
        timeRatios.push_back(timeRatio);
        const double floor = median(floorMs);
        shopExtra.push_back((median(shopMs) - median(oursMs)) / floor);
        laterRatios.push_back(median(laterMs) / floor);
        smallRatios.push_back(double(smallBytes) / double(QFile(target).size()));
        smallTimes.push_back(median(smallMs) / median(oursMs));
        // A wallpaper package names its photos by size, in a folder named after the photo.
        QString shown = QFileInfo(QString::fromStdString(source)).fileName();
        if (shown.front().isDigit())
            shown = QFileInfo(QString::fromStdString(source)).dir().absolutePath().section(QLatin1Char('/'), -3, -3);
        const std::string name = shown.left(30).toStdString();
        std::printf("%-30s %5dx%-5d %8.0f %8.0f %7.3f %7.3f %7.3f %7.3f %7.3f %7.2f%s\n", name.c_str(), result.cols,
                    result.rows, floor, median(oursMs), timeRatio, sizeRatio, shopExtra.back(), laterRatios.back(),
                    smallRatios.back(), smallTimes.back(), result.type() == CV_8UC4 ? "" : "  (no composite!)");
        std::fflush(stdout);
    }
    std::printf("size ratio: median %.3f, largest %.3f; time ratio: median %.3f, largest %.3f\n", median(sizeRatios),
                *std::max_element(sizeRatios.begin(), sizeRatios.end()), median(timeRatios),
                *std::max_element(timeRatios.begin(), timeRatios.end()));
    std::printf("medians: shop JPEG in the pass +%.3f of the floor; made later %.3f of the floor; --png small %.3f of the "
                "default's bytes in %.2f times its time\n",
                median(shopExtra), median(laterRatios), median(smallRatios), median(smallTimes));
    return 0;
}

// Each result laid on white against the truth laid on white, alpha·F + (1 − alpha)·255: the
// mean colour error over the band where the true alpha is strictly between 0 and 255.
double errorOnWhite(const cv::Mat &result, const EdgeTruth &truth)
{
    double sum = 0;
    long count = 0;
    for (int y = 0; y < result.rows; ++y)
        for (int x = 0; x < result.cols; ++x) {
            const int trueAlpha = truth.alpha.at<uchar>(y, x);
            if (trueAlpha == 0 || trueAlpha == 255)
                continue;
            const cv::Vec4b pixel = result.at<cv::Vec4b>(y, x);
            const cv::Vec3b subject = truth.foreground.at<cv::Vec3b>(y, x);
            for (int k = 0; k < 3; ++k) {
                const double shown = (pixel[k] * pixel[3] + 255.0 * (255 - pixel[3])) / 255;
                const double meant = (subject[k] * trueAlpha + 255.0 * (255 - trueAlpha)) / 255;
                sum += std::abs(shown - meant);
            }
            count += 3;
        }
    return count ? sum / double(count) : 0;
}

// --edges clean against the default composite, on a photo whose truth is known; the service's
// answer is the alpha and the subject reduced to a quarter of the area.
void compareEdges(int runs, double floorMs)
{
    QTemporaryDir dir;
    const QString source = QDir(dir.path()).filePath(QStringLiteral("edges.png"));
    const QString cutout = QDir(dir.path()).filePath(QStringLiteral("cutout.png"));
    const QString target = QDir(dir.path()).filePath(QStringLiteral("edges.png-no-bg.png"));
    const EdgeTruth truth = makeEdgeTruth({4000, 3000}, 1);
    cv::imwrite(source.toStdString(), truth.photo);
    cv::Mat small, smallAlpha;
    cv::resize(truth.foreground, small, {2000, 1500}, 0, 0, cv::INTER_AREA);
    cv::resize(truth.alpha, smallAlpha, {2000, 1500}, 0, 0, cv::INTER_AREA);
    cv::Mat answer;
    cv::merge(std::vector<cv::Mat>{small, smallAlpha}, answer);
    cv::imwrite(cutout.toStdString(), answer);
    const double band = double(cv::countNonZero((truth.alpha > 0) & (truth.alpha < 255))) / double(truth.alpha.total());

    const OutputChoices clean = choicesOf({{"edges", "clean"}});
    std::vector<double> plainMs, cleanMs;
    cv::Mat results[2];
    for (int i = 0; i < runs; ++i) {
        plainMs.push_back(timeMake(source, target, cutout, {}, false));
        results[0] = cv::imread(target.toStdString(), cv::IMREAD_UNCHANGED);
        cleanMs.push_back(timeMake(source, target, cutout, clean, false));
        results[1] = cv::imread(target.toStdString(), cv::IMREAD_UNCHANGED);
    }
    cv::Mat alpha[2], colour[2];
    for (int r = 0; r < 2; ++r) {
        cv::extractChannel(results[r], alpha[r], 3);
        cv::cvtColor(results[r], colour[r], cv::COLOR_BGRA2BGR);
    }
    cv::Mat opaqueDiffers;
    cv::compare(colour[1], truth.photo, opaqueDiffers, cv::CMP_NE);
    cv::cvtColor(opaqueDiffers, opaqueDiffers, cv::COLOR_BGR2GRAY);
    const int opaqueChanged = cv::countNonZero(opaqueDiffers & (alpha[1] == 255));
    const double plainError = errorOnWhite(results[0], truth), cleanError = errorOnWhite(results[1], truth);
    std::printf("\n--edges clean on %dx%d, soft band %.2f%% of the pixels, the cut-out at a quarter of the area:\n",
                truth.photo.cols, truth.photo.rows, 100 * band);
    std::printf("error on white over the band: default %.3f, clean %.3f, ratio %.3f\n", plainError, cleanError,
                cleanError / plainError);
    std::printf("alpha the same as the default's: %s; opaque pixels changed: %d\n",
                cv::norm(alpha[0], alpha[1], cv::NORM_INF) == 0 ? "yes" : "NO", opaqueChanged);
    std::printf("composite %.1f ms, with --edges clean %.1f ms: +%.3f of the floor\n", median(plainMs), median(cleanMs),
                (median(cleanMs) - median(plainMs)) / floorMs);
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The same photo as a HEIC (heif-enc at quality 80, near a phone's): its master against the
// JPEG's, both with the PNG writer on every core; and what its upload costs to make, against
// the JPEG's preview upload.
void compareHeic(int runs, const std::string &jpegSource, const QString &cutout, const QDir &dir)
{
    const QString png = dir.filePath(QStringLiteral("photo.png")), heic = dir.filePath(QStringLiteral("photo.heic"));
    const QString target = dir.filePath(QStringLiteral("photo.heic-no-bg.png"));
    runInChild([&] { cv::imwrite(png.toStdString(), cv::imread(jpegSource, cv::IMREAD_COLOR)); });
    if (QProcess::execute(QStringLiteral("heif-enc"), {QStringLiteral("-q"), QStringLiteral("80"), QStringLiteral("-o"), heic, png}) != 0) {
        std::printf("\nHEIC: heif-enc (Debian libheif-examples) is needed; left out\n");
        return;
    }
    std::vector<double> jpegMs, heicMs, heicUploadMs, previewMs;
    qint64 heicUpload = 0, previewUpload = 0;
    const QByteArray heicBytes = contentsOf(heic), jpegBytes = contentsOf(QString::fromStdString(jpegSource));
    for (int i = 0; i < runs; ++i) {
        const QString sources[] = {QString::fromStdString(jpegSource), heic};
        std::vector<double> *times[] = {&jpegMs, &heicMs};
        for (int s = 0; s < 2; ++s) {
            QFile::remove(target);
            QFile::copy(cutout, target);
            const QString &source = sources[s];
            times[s]->push_back(runInChild([&] { ScaleAndMix::composite(source, target, 0); }).milliseconds);
        }
        heicUploadMs.push_back(runInChild([&] { photocheck::prepare(heicBytes, false); }).milliseconds);
        previewMs.push_back(runInChild([&] { photocheck::prepare(jpegBytes, true); }).milliseconds);
    }
    heicUpload = photocheck::prepare(heicBytes, false).made.size();
    previewUpload = photocheck::prepare(jpegBytes, true).made.size();
    std::printf("\nHEIC of the same photo: %lld bytes (the JPEG: %lld)\n", static_cast<long long>(heicBytes.size()),
                static_cast<long long>(jpegBytes.size()));
    std::printf("master from the JPEG %.1f ms, from the HEIC %.1f ms: %.3f times\n", median(jpegMs), median(heicMs),
                median(heicMs) / median(jpegMs));
    std::printf("the HEIC's upload, a JPEG of its pixels: %.1f ms, %lld bytes\n", median(heicUploadMs),
                static_cast<long long>(heicUpload));
    std::printf("--size preview upload of the JPEG: %.1f ms, %lld bytes (%.3f of the photo)\n", median(previewMs),
                static_cast<long long>(previewUpload), double(previewUpload) / double(jpegBytes.size()));
}

// The mean alpha error, on a 0-to-1 scale, where the truth's alpha or the scaled one is soft.
double alphaError(const cv::Mat &alpha, const cv::Mat &truth, const cv::Mat &band)
{
    cv::Mat difference;
    cv::absdiff(alpha, truth, difference);
    return cv::mean(difference, band)[0] / 255;
}

// --edges refine on a photo of fine strands whose alpha is known: the error of each method
// tried, from a 0.25-megapixel cut-out and from a full-size one, and the time of the chosen one.
void compareRefine(int runs, double floorMs)
{
    QTemporaryDir dir;
    const QString source = QDir(dir.path()).filePath(QStringLiteral("strands.png"));
    const QString cutout = QDir(dir.path()).filePath(QStringLiteral("cutout.png"));
    const QString target = QDir(dir.path()).filePath(QStringLiteral("strands.png-no-bg.png"));
    const cv::Size size(4000, 3000);
    const EdgeTruth truth = makeStrandTruth(size, 700, 1);
    cv::imwrite(source.toStdString(), truth.photo);
    const double side = std::sqrt(250000.0 / double(size.area()));
    const cv::Size small(int(std::lround(size.width * side)), int(std::lround(size.height * side)));
    cv::Mat smallAlpha, smallColour, answer, scaled;
    cv::resize(truth.alpha, smallAlpha, small, 0, 0, cv::INTER_AREA);
    cv::resize(truth.photo, smallColour, small, 0, 0, cv::INTER_AREA);
    cv::merge(std::vector<cv::Mat>{smallColour, smallAlpha}, answer);
    cv::imwrite(cutout.toStdString(), answer);
    cv::resize(smallAlpha, scaled, size, 0, 0, cv::INTER_LANCZOS4);
    const cv::Mat band = ((truth.alpha > 0) & (truth.alpha < 255)) | ((scaled > 0) & (scaled < 255));
    const double scale = double(size.width) / small.width;
    const double scaledError = alphaError(scaled, truth.alpha, band);
    std::printf("\n--edges refine on %dx%d, 700 strands of 1 to 2 px, the cut-out %dx%d (%.2f times smaller a side); "
                "band %.2f%% of the pixels\n", size.width, size.height, small.width, small.height, scale,
                100.0 * cv::countNonZero(band) / double(band.total()));
    std::printf("%-44s %8s %8s\n", "alpha error over the band", "error", "ratio");
    std::printf("%-44s %8.4f %8.3f\n", "scaled (Lanczos), the default", scaledError, 1.0);
    struct Method
    {
        const char *name;
        edgerefiner::Settings settings;
    };
    const Method methods[] = {{"guided filter r=4 on the band", {0, 4}},
                              {"guided filter r=8 on the band", {0, 8}},
                              {"colour model, 1 pass", {1, 0}},
                              {"colour model, 2 passes (chosen)", {2, 0}},
                              {"colour model, 3 passes", {3, 0}},
                              {"colour model, 2 passes, then guided r=1", {2, 1}}};
    for (const Method &method : methods) {
        cv::Mat refined = scaled.clone();
        edgerefiner::refine(truth.photo, refined, scale, 0, method.settings);
        const double error = alphaError(refined, truth.alpha, band);
        std::printf("%-44s %8.4f %8.3f\n", method.name, error, error / scaledError);
    }
    // Larger cut-outs: how much there is left to gain as the scale comes down.
    for (const double megapixels : {1.0, 3.0, 6.0}) {
        const double shrink = std::sqrt(megapixels * 1e6 / double(size.area()));
        const cv::Size larger(int(std::lround(size.width * shrink)), int(std::lround(size.height * shrink)));
        cv::Mat largerAlpha, largerScaled;
        cv::resize(truth.alpha, largerAlpha, larger, 0, 0, cv::INTER_AREA);
        cv::resize(largerAlpha, largerScaled, size, 0, 0, cv::INTER_LANCZOS4);
        const double before = alphaError(largerScaled, truth.alpha, band);
        const double largerScale = double(size.width) / larger.width;
        edgerefiner::refine(truth.photo, largerScaled, std::max(largerScale, edgerefiner::minimumScale));
        const double after = alphaError(largerScaled, truth.alpha, band);
        std::printf("from a %.0f MP cut-out (%.2f times a side%s): scaled %.4f, refined %.4f, ratio %.3f\n", megapixels,
                    largerScale, largerScale < edgerefiner::minimumScale ? ", refined as if it were 3, which it is not" : "", before, after,
                    after / before);
    }
    // The service's full-size answer: the truth, which refine leaves as it is.
    cv::Mat full = truth.alpha.clone();
    const bool changed = edgerefiner::refine(truth.photo, full, 1.0);
    std::printf("from a full-size cut-out: error %.4f, refined %.4f (%s)\n", alphaError(truth.alpha, truth.alpha, band),
                alphaError(full, truth.alpha, band), changed ? "changed" : "left as it is");

    std::vector<double> plainMs, refineMs;
    const OutputChoices refine = choicesOf({{"edges", "refine"}});
    for (int i = 0; i < runs; ++i) {
        plainMs.push_back(timeMake(source, target, cutout, {}, false));
        refineMs.push_back(timeMake(source, target, cutout, refine, false));
    }
    const cv::Mat result = cv::imread(target.toStdString(), cv::IMREAD_UNCHANGED);
    cv::Mat made;
    cv::extractChannel(result, made, 3);
    std::printf("through the compositor: error %.4f; composite %.1f ms, with --edges refine %.1f ms: +%.3f of the floor\n",
                alphaError(made, truth.alpha, band), median(plainMs), median(refineMs),
                (median(refineMs) - median(plainMs)) / floorMs);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 2 && std::string(argv[1]) == "refine") {
        compareRefine(std::atoi(argv[2]), argc > 3 ? std::atof(argv[3]) : 547.2);
        return 0;
    }
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
    // The same photo carrying a wide-gamut profile.
    const QString wideSource = QDir(dir.path()).filePath(QStringLiteral("wide.jpg"));
    {
        QFile in(QString::fromStdString(source)), out(wideSource);
        in.open(QIODevice::ReadOnly);
        const QByteArray bytes = in.readAll();
        photometadata::Metadata metadata;
        metadata.profile = wideGamutProfile();
        const std::vector<unsigned char> embedded
            = photometadata::embedInJpeg(std::vector<unsigned char>(bytes.begin(), bytes.end()), metadata);
        out.open(QIODevice::WriteOnly);
        out.write(reinterpret_cast<const char *>(embedded.data()), qint64(embedded.size()));
    }
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
    // The output choices: a shop's JPEG in the same pass, the same made later from the
    // master, and the master with --png small.
    const QString master = QDir(dir.path()).filePath(QStringLiteral("master.png"));
    QFile::remove(master);
    QFile::copy(target, master);
    std::vector<double> shopMs, laterMs, smallMs, wideMasterMs, presetMs, presetLaterMs;
    qint64 smallBytes = 0;
    for (int i = 0; i < runs; ++i) {
        wideMasterMs.push_back(timeMake(wideSource, target, cutout, OutputChoices(), false));
        presetMs.push_back(timeMake(wideSource, target, cutout, presetChoices, false));
        presetLaterMs.push_back(timeMake(wideSource, target, master, presetChoices, true));
        shopMs.push_back(timeMake(QString::fromStdString(source), target, cutout, shopChoices, false));
        laterMs.push_back(timeMake(QString::fromStdString(source), target, master, shopChoices, true));
        smallMs.push_back(timeMake(QString::fromStdString(source), target, cutout, smallChoices, false));
        smallBytes = QFile(target).size();
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
    std::printf("master and a white, cropped, square JPEG: %.1f ms, +%.3f of the floor over the master alone\n",
                median(shopMs), (median(shopMs) - ms[1]) / fMs);
    std::printf("the JPEG made later from the master: %.1f ms, %.3f of the floor\n", median(laterMs), median(laterMs) / fMs);
    std::printf("the same photo with a wide-gamut profile: master %.1f ms; with --preset amazon (converted to sRGB, "
                "checked) %.1f ms, +%.3f of the floor; made later from the master %.1f ms, %.3f of the floor\n",
                median(wideMasterMs), median(presetMs), (median(presetMs) - median(wideMasterMs)) / fMs,
                median(presetLaterMs), median(presetLaterMs) / fMs);
    std::printf("--png small: %lld bytes, %.3f of the default's, in %.1f ms (%.2f times)\n",
                static_cast<long long>(smallBytes), double(smallBytes) / double(compositeBytes), median(smallMs),
                median(smallMs) / ms[1]);
    // Amdahl's law from the two runs: the share of one thread's time that does not spread.
    if (cores > 1) {
        const double parallel = (1 - ms[1] / ms[0]) / (1 - 1.0 / cores);
        const double serial = std::clamp(1 - parallel, 0.0, 1.0);
        const double eight = ms[0] * (serial + (1 - serial) / 8);
        std::printf("serial fraction %.3f; expected with 8 cores: %.1f ms (%.3f of this floor)\n", serial, eight,
                    eight / fMs);
    }
    compareEdges(runs, fMs);
    compareHeic(runs, source, cutout, QDir(dir.path()));
    compareRefine(runs, fMs);
    return 0;
}
