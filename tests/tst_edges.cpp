#include "brush.h"
#include "edgecleaner.h"
#include "edgerefiner.h"
#include "testimages.h"

#include <QtTest>

#include <opencv2/imgproc.hpp>

namespace {

enum class Shape { SoftDisc, Strands, Ramp, HardDisc, Stripes, AllOpaque, AllClear, Edge, Strand };

// Alpha in the given shape; only SoftDisc, Strands and Ramp have values between 0 and 255.
cv::Mat alphaShaped(Shape shape, cv::Size size)
{
    cv::Mat alpha(size, CV_8U, cv::Scalar(shape == Shape::AllOpaque ? 255 : 0));
    const cv::Point centre(size.width * 2 / 5, size.height * 3 / 5);
    const int radius = std::min(size.width, size.height) / 3;
    switch (shape) {
    case Shape::SoftDisc:
    case Shape::HardDisc:
        cv::circle(alpha, centre, radius, cv::Scalar(255), cv::FILLED);
        if (shape == Shape::SoftDisc)
            cv::GaussianBlur(alpha, alpha, {0, 0}, 4);
        break;
    case Shape::Strands:
        cv::circle(alpha, centre, radius, cv::Scalar(255), cv::FILLED);
        for (int i = 0; i < 12; ++i) {
            const double angle = -0.3 - 0.22 * i;
            const cv::Point from = centre + cv::Point(int(radius * std::cos(angle)), int(radius * std::sin(angle)));
            cv::line(alpha, from, from + cv::Point(int(90 * std::cos(angle + 0.2)), int(90 * std::sin(angle + 0.2))),
                     cv::Scalar(120 + 10 * i), 1, cv::LINE_AA);
        }
        cv::GaussianBlur(alpha, alpha, {0, 0}, 1.2);
        break;
    case Shape::Stripes:
        for (int x = 0; x < size.width; x += 6)
            alpha.colRange(x, std::min(x + 3, size.width)) = 255;
        break;
    case Shape::Ramp: { // a diagonal soft band across the middle third; a lone pixel is half
        const double n = size.width + size.height - 1;
        for (int y = 0; y < size.height; ++y)
            for (int x = 0; x < size.width; ++x)
                alpha.at<uchar>(y, x) = size.area() == 1 ? 128 : cv::saturate_cast<uchar>(255 * (2 * n / 3 - x - y) / (n / 3));
        break;
    }
    case Shape::Edge: // upright, half a pixel into a column
        alpha.colRange(size.width / 2 + 1, size.width) = 255;
        alpha.col(size.width / 2) = 128;
        break;
    case Shape::Strand: // one fine hair from a subject along the bottom
        alpha.rowRange(size.height * 3 / 4, size.height) = 255;
        cv::line(alpha, {size.width / 4, size.height * 3 / 4}, {size.width * 3 / 5, size.height / 5}, cv::Scalar(220), 1,
                 cv::LINE_AA);
        break;
    case Shape::AllOpaque:
    case Shape::AllClear:
        break;
    }
    return alpha;
}

// A smooth subject over a strong background, and the photo of the one over the other.
struct Scene
{
    cv::Mat subject, photo, alpha;
};

Scene sceneOf(Shape shape, cv::Size size, cv::Scalar background)
{
    Scene scene{cv::Mat(size, CV_8UC3), cv::Mat(size, CV_8UC3), alphaShaped(shape, size)};
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) {
            const double u = double(x) / size.width, v = double(y) / size.height;
            const cv::Vec3b f(uchar(60 + 120 * u), uchar(70 + 60 * v + 20 * std::sin(7 * u)), uchar(200 - 90 * v * u));
            const double a = scene.alpha.at<uchar>(y, x) / 255.0;
            scene.subject.at<cv::Vec3b>(y, x) = f;
            for (int c = 0; c < 3; ++c)
                scene.photo.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<uchar>(a * f[c] + (1 - a) * background[c]);
        }
    return scene;
}

// Over the soft pixels: the mean and the largest of |colour - subject| * alpha, which is how far
// the picture laid on white is from the subject alone laid on white.
std::pair<double, double> errorOnWhite(const cv::Mat &colour, const Scene &scene)
{
    double sum = 0, largest = 0;
    int count = 0;
    for (int y = 0; y < colour.rows; ++y)
        for (int x = 0; x < colour.cols; ++x) {
            const int a = scene.alpha.at<uchar>(y, x);
            if (a == 0 || a == 255)
                continue;
            for (int c = 0; c < 3; ++c) {
                const double error = std::abs(colour.at<cv::Vec3b>(y, x)[c] - scene.subject.at<cv::Vec3b>(y, x)[c]) * a / 255.0;
                sum += error;
                largest = std::max(largest, error);
                ++count;
            }
        }
    return {count ? sum / count : 0, largest};
}

bool samePixels(const cv::Mat &a, const cv::Mat &b, const cv::Mat &mask = cv::Mat())
{
    return cv::norm(a, b, cv::NORM_INF, mask) == 0;
}

const cv::Scalar kGreen(40, 210, 30), kMagenta(230, 20, 220);

} // namespace

Q_DECLARE_METATYPE(Shape)
Q_DECLARE_METATYPE(cv::Size)
Q_DECLARE_METATYPE(cv::Scalar)

class TestEdges : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { stopAfterAFailedRow(); }
    void leavesClearAndOpaquePixels_data();
    void leavesClearAndOpaquePixels();
    void recoversTheSubjectColour_data();
    void recoversTheSubjectColour();
    void sameForAnyThreadCount_data();
    void sameForAnyThreadCount();
    void copesWithTinyPictures_data();
    void copesWithTinyPictures();
    void brushStrokes_data();
    void brushStrokes();
    void refinesTheAlpha_data();
    void refinesTheAlpha();
};

void TestEdges::leavesClearAndOpaquePixels_data()
{
    QTest::addColumn<Shape>("shape");
    QTest::addColumn<bool>("inLargerPicture");
    QTest::addColumn<bool>("hasSoftPixels");

    QTest::newRow("soft-edged disc") << Shape::SoftDisc << false << true;
    QTest::newRow("strands of hair") << Shape::Strands << false << true;
    QTest::newRow("soft disc in a window of a larger picture") << Shape::SoftDisc << true << true;
    QTest::newRow("all opaque") << Shape::AllOpaque << false << false;
    QTest::newRow("all clear") << Shape::AllClear << false << false;
    QTest::newRow("hard-edged disc") << Shape::HardDisc << false << false;
    QTest::newRow("stripes of clear and opaque") << Shape::Stripes << true << false;
}

void TestEdges::leavesClearAndOpaquePixels()
{
    QFETCH(Shape, shape);
    QFETCH(bool, inLargerPicture);
    QFETCH(bool, hasSoftPixels);

    const cv::Size size(230, 170);
    const cv::Mat original = photoLike(size.width + 40, size.height + 30);
    cv::Mat whole = original.clone(), wholeAlpha(original.size(), CV_8U, cv::Scalar(128));
    const cv::Rect window = inLargerPicture ? cv::Rect({25, 10}, size) : cv::Rect({}, original.size());
    alphaShaped(shape, window.size()).copyTo(wholeAlpha(window));
    const cv::Mat alphaBefore = wholeAlpha.clone();
    cv::Mat colour = whole(window);

    edgecleaner::clean(colour, wholeAlpha(window), 2);

    const cv::Mat alpha = wholeAlpha(window);
    QVERIFY2(samePixels(colour, original(window), (alpha == 0) | (alpha == 255)), "clear and opaque pixels are unchanged");
    QCOMPARE(!samePixels(colour, original(window)), hasSoftPixels);
    cv::Mat outside(original.size(), CV_8U, cv::Scalar(255));
    outside(window) = 0;
    QVERIFY2(samePixels(whole, original, outside), "the picture around the window is untouched");
    QVERIFY(samePixels(wholeAlpha, alphaBefore));
}

void TestEdges::recoversTheSubjectColour_data()
{
    QTest::addColumn<Shape>("shape");
    QTest::addColumn<cv::Size>("size");
    QTest::addColumn<cv::Scalar>("background");
    // On white, in levels of 8 bits: the mean error over the soft pixels, and the largest.
    QTest::addColumn<double>("meanTolerance");
    QTest::addColumn<double>("largestTolerance");

    QTest::newRow("soft disc across tiles on green") << Shape::SoftDisc << cv::Size(200, 200) << kGreen << 0.4 << 4.0;
    QTest::newRow("soft disc on magenta") << Shape::SoftDisc << cv::Size(200, 200) << kMagenta << 0.4 << 4.0;
    QTest::newRow("disc cut by the picture's border") << Shape::SoftDisc << cv::Size(90, 150) << kGreen << 0.5 << 4.0;
    // Hair that leaves the picture has no subject beside it to lean on, the hardest case here.
    QTest::newRow("strands of hair on green") << Shape::Strands << cv::Size(200, 200) << kGreen << 1.0 << 15.0;
    QTest::newRow("a wide soft band on magenta") << Shape::Ramp << cv::Size(150, 100) << kMagenta << 1.6 << 12.0;
}

void TestEdges::recoversTheSubjectColour()
{
    QFETCH(Shape, shape);
    QFETCH(cv::Size, size);
    QFETCH(cv::Scalar, background);
    QFETCH(double, meanTolerance);
    QFETCH(double, largestTolerance);

    const Scene scene = sceneOf(shape, size, background);
    cv::Mat colour = scene.photo.clone();
    edgecleaner::clean(colour, scene.alpha, 1);

    const auto [photoMean, photoLargest] = errorOnWhite(scene.photo, scene);
    const auto [mean, largest] = errorOnWhite(colour, scene);
    qInfo("on white, mean and largest error: photo %.2f, %.1f; cleaned %.2f, %.1f", photoMean, photoLargest, mean, largest);
    QVERIFY2(photoMean > 5, "the scene has a halo to take out");
    QVERIFY(mean < meanTolerance);
    QVERIFY(largest < largestTolerance);
    QVERIFY(mean < 0.15 * photoMean);
}

void TestEdges::sameForAnyThreadCount_data()
{
    QTest::addColumn<int>("threads");

    QTest::newRow("two threads") << 2;
    QTest::newRow("one per core") << 0;
    QTest::newRow("more threads than tiles") << 40;
}

void TestEdges::sameForAnyThreadCount()
{
    QFETCH(int, threads);

    const Scene scene = sceneOf(Shape::Strands, {300, 260}, kGreen);
    cv::Mat alone = scene.photo.clone(), shared = scene.photo.clone();
    edgecleaner::clean(alone, scene.alpha, 1);
    edgecleaner::clean(shared, scene.alpha, threads);
    QVERIFY(!samePixels(alone, scene.photo));
    QVERIFY(samePixels(shared, alone));
}

void TestEdges::copesWithTinyPictures_data()
{
    QTest::addColumn<cv::Size>("size");

    QTest::newRow("1 x 1") << cv::Size(1, 1);
    QTest::newRow("2 x 2") << cv::Size(2, 2);
    QTest::newRow("1 x 9") << cv::Size(1, 9);
    QTest::newRow("9 x 1") << cv::Size(9, 1);
    QTest::newRow("a row across three tiles") << cv::Size(150, 1);
    QTest::newRow("a column across three tiles") << cv::Size(1, 150);
}

void TestEdges::copesWithTinyPictures()
{
    QFETCH(cv::Size, size);

    const Scene scene = sceneOf(Shape::Ramp, size, kGreen);
    cv::Mat colour = scene.photo.clone();
    edgecleaner::clean(colour, scene.alpha, 2);

    QVERIFY(samePixels(colour, scene.photo, (scene.alpha == 0) | (scene.alpha == 255)));
    QVERIFY(errorOnWhite(colour, scene).first <= errorOnWhite(scene.photo, scene).first);
}


void TestEdges::brushStrokes_data()
{
    // On a 40 x 40 master of alpha 200, colour 10, over a photo of colour 90: one stroke of
    // radius 8 from `from` to `to`, then the pixel at `probe`.
    QTest::addColumn<bool>("restore");
    QTest::addColumn<QPoint>("from");
    QTest::addColumn<QPoint>("to");
    QTest::addColumn<QPoint>("probe");
    QTest::addColumn<int>("alpha");
    QTest::addColumn<int>("colour");

    QTest::newRow("erased at the centre") << false << QPoint(20, 20) << QPoint(20, 20) << QPoint(20, 20) << 0 << 10;
    QTest::newRow("erased inside the hard half") << false << QPoint(20, 20) << QPoint(20, 20) << QPoint(24, 20) << 0 << 10;
    // Weight 128 at three quarters of the radius: 200 * 127 / 255.
    QTest::newRow("the soft edge takes half") << false << QPoint(20, 20) << QPoint(20, 20) << QPoint(26, 20) << 100 << 10;
    QTest::newRow("untouched at the rim") << false << QPoint(20, 20) << QPoint(20, 20) << QPoint(28, 20) << 200 << 10;
    QTest::newRow("dabs along a drag do not compound")
        << false << QPoint(20, 20) << QPoint(22, 20) << QPoint(20, 26) << 100 << 10;
    QTest::newRow("a drag reaches its end") << false << QPoint(5, 20) << QPoint(35, 20) << QPoint(35, 20) << 0 << 10;
    QTest::newRow("restored at the centre from the photo") << true << QPoint(20, 20) << QPoint(20, 20) << QPoint(20, 20) << 255 << 90;
    // 200 + 55 * 128 / 255
    QTest::newRow("restored half at the soft edge") << true << QPoint(20, 20) << QPoint(20, 20) << QPoint(26, 20) << 228 << 90;
    QTest::newRow("restore leaves the rim") << true << QPoint(20, 20) << QPoint(20, 20) << QPoint(29, 20) << 200 << 10;
}

void TestEdges::brushStrokes()
{
    QFETCH(bool, restore);
    QFETCH(QPoint, from);
    QFETCH(QPoint, to);
    QFETCH(QPoint, probe);
    QFETCH(int, alpha);
    QFETCH(int, colour);

    cv::Mat masterColour(40, 40, CV_8UC3, cv::Scalar::all(10)), masterAlpha(40, 40, CV_8U, cv::Scalar(200));
    const cv::Mat photo(40, 40, CV_8UC3, cv::Scalar::all(90));
    const cv::Mat colourBefore = masterColour.clone(), alphaBefore = masterAlpha.clone();
    brush::Stroke stroke(masterColour, masterAlpha, photo, restore ? brush::Tool::Restore : brush::Tool::Erase);
    // As the view lays them: a dab where the button goes down, then the drag.
    stroke.drag(cv::Point2f(from.x(), from.y()), cv::Point2f(from.x(), from.y()), 8);
    stroke.drag(cv::Point2f(from.x(), from.y()), cv::Point2f(to.x(), to.y()), 8);
    const brush::Change change = stroke.finish();
    QCOMPARE(int(masterAlpha.at<uchar>(probe.y(), probe.x())), alpha);
    QCOMPARE(int(masterColour.at<cv::Vec3b>(probe.y(), probe.x())[1]), colour);
    // Undone, the master is as it was, byte for byte; redone, as the stroke left it.
    const cv::Mat colourAfter = masterColour.clone(), alphaAfter = masterAlpha.clone();
    brush::apply(change, masterColour, masterAlpha, true);
    QCOMPARE(cv::norm(masterAlpha, alphaBefore, cv::NORM_INF) + cv::norm(masterColour, colourBefore, cv::NORM_INF), 0.0);
    brush::apply(change, masterColour, masterAlpha, false);
    QCOMPARE(cv::norm(masterAlpha, alphaAfter, cv::NORM_INF) + cv::norm(masterColour, colourAfter, cv::NORM_INF), 0.0);
}

void TestEdges::refinesTheAlpha_data()
{
    QTest::addColumn<Shape>("shape");
    QTest::addColumn<cv::Scalar>("background");
    QTest::addColumn<int>("factor");   // the cut-out this many times smaller a side
    QTest::addColumn<double>("ratio"); // the refined alpha's error at most this share of the scaled one's; 0: left alone

    QTest::newRow("a straight edge over green, from a quarter the size") << Shape::Edge << kGreen << 4 << 0.5;
    QTest::newRow("one strand over green, from a quarter the size") << Shape::Strand << kGreen << 4 << 0.5;
    QTest::newRow("one strand over magenta, from a sixth the size") << Shape::Strand << kMagenta << 6 << 0.5;
    QTest::newRow("all clear: nothing to do") << Shape::AllClear << kGreen << 4 << 0.0;
    QTest::newRow("all opaque: nothing to do") << Shape::AllOpaque << kGreen << 4 << 0.0;
    QTest::newRow("a full-size cut-out is left as it is") << Shape::Strand << kGreen << 1 << 0.0;
    QTest::newRow("a cut-out half the size is left as it is") << Shape::Strand << kGreen << 2 << 0.0;
}

void TestEdges::refinesTheAlpha()
{
    QFETCH(Shape, shape);
    QFETCH(cv::Scalar, background);
    QFETCH(int, factor);
    QFETCH(double, ratio);

    const cv::Size size(600, 420);
    const Scene scene = sceneOf(shape, size, background);
    cv::Mat small, scaled;
    cv::resize(scene.alpha, small, {size.width / factor, size.height / factor}, 0, 0, cv::INTER_AREA);
    cv::resize(small, scaled, size, 0, 0, cv::INTER_LANCZOS4);
    cv::Mat refined = scaled.clone(), onOneThread = scaled.clone();

    QCOMPARE(edgerefiner::refine(scene.photo, refined, double(factor), 2), ratio > 0);
    edgerefiner::refine(scene.photo, onOneThread, double(factor), 1);
    QVERIFY2(samePixels(refined, onOneThread), "the same on any number of threads");
    if (ratio == 0) {
        QVERIFY(samePixels(refined, scaled));
        return;
    }
    // Far from every soft pixel of the scaled alpha, it stays exactly as it was.
    cv::Mat near;
    cv::dilate((scaled > 0) & (scaled < 255), near,
               cv::getStructuringElement(cv::MORPH_ELLIPSE, {2 * factor + 1, 2 * factor + 1}));
    QVERIFY(cv::countNonZero(near == 0) > 0);
    QVERIFY2(samePixels(refined, scaled, near == 0), "untouched far from the edges");
    const cv::Mat band = ((scene.alpha > 0) & (scene.alpha < 255)) | ((scaled > 0) & (scaled < 255));
    cv::Mat before, after;
    cv::absdiff(scaled, scene.alpha, before);
    cv::absdiff(refined, scene.alpha, after);
    const double scaledError = cv::mean(before, band)[0], refinedError = cv::mean(after, band)[0];
    QVERIFY2(refinedError <= ratio * scaledError, qPrintable(QStringLiteral("%1 against %2").arg(refinedError).arg(scaledError)));
}

QTEST_GUILESS_MAIN(TestEdges)
#include "tst_edges.moc"
