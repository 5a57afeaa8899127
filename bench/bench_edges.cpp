// The edge cleaner on a 4000 x 3000 photo of a known subject on a green screen: how much of
// the green it takes out of the soft edges once they are laid on white, and what it costs
// against the floor, OpenCV's PNG encoding of the same four-channel picture.

#include "edgecleaner.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

struct EdgeTruth
{
    cv::Mat foreground, background; // 8-bit BGR
    cv::Mat alpha;                  // 8-bit
    cv::Mat photo;                  // alpha * foreground + (1 - alpha) * background, rounded
};

// A subject with wavy outline and strands of hair, its alpha drawn at a quarter of the size and
// scaled up with Lanczos as a service's cut-out would be; its colours vary smoothly with some
// texture, over a slightly uneven, strongly green background.
EdgeTruth makeEdgeTruth(cv::Size size, int seed)
{
    cv::RNG rng(uint64(seed) * 7919 + 1);
    const int w = size.width, h = size.height;
    const auto lowNoise = [&](int cell, float spread, int type) {
        cv::Mat coarse(std::max(2, h / cell), std::max(2, w / cell), type), fine;
        rng.fill(coarse, cv::RNG::UNIFORM, -spread, spread);
        cv::resize(coarse, fine, size, 0, 0, cv::INTER_CUBIC);
        return fine;
    };

    cv::Mat fg(size, CV_32FC3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float u = float(x) / float(w), v = float(y) / float(h);
            fg.at<cv::Vec3f>(y, x) = cv::Vec3f(70 + 60 * u + 30 * std::sin(9 * v), 60 + 50 * v + 25 * std::sin(7 * u + 2 * v),
                                               150 + 70 * std::sin(5 * u + 3 * v));
        }
    // Grain as a camera's sensor gives it, in subject and background alike.
    cv::Mat grain(size, CV_32FC3);
    rng.fill(grain, cv::RNG::NORMAL, 0, 4);
    fg += lowNoise(64, 25, CV_32FC3) + lowNoise(6, 12, CV_32FC3) + grain;
    rng.fill(grain, cv::RNG::NORMAL, 0, 3);
    cv::Mat bg = lowNoise(200, 12, CV_32FC3) + grain + cv::Scalar(60, 190, 40);

    const cv::Size quarter(w / 4, h / 4);
    cv::Mat small(quarter, CV_8U, cv::Scalar(0));
    const cv::Point2f centre(quarter.width * 0.5f, quarter.height * 0.62f);
    std::vector<cv::Point> outline;
    for (int i = 0; i < 720; ++i) {
        const float t = float(i) * float(CV_2PI) / 720;
        const float r = 1 + 0.05f * std::sin(5 * t + 1) + 0.03f * std::sin(13 * t);
        outline.emplace_back(cv::Point2f(centre.x + 0.28f * quarter.width * r * std::cos(t),
                                         centre.y + 0.36f * quarter.height * r * std::sin(t)));
    }
    cv::fillPoly(small, std::vector<std::vector<cv::Point>>{outline}, cv::Scalar(255), cv::LINE_AA);
    cv::GaussianBlur(small, small, {0, 0}, 0.8);
    // Strands leave the upper outline and curl outwards, fainter ones among the dark.
    for (int i = 0; i < 90; ++i) {
        const cv::Point start = outline[size_t(rng.uniform(370, 710))];
        float angle = std::atan2(float(start.y) - centre.y, float(start.x) - centre.x) + rng.uniform(-0.5f, 0.5f);
        const float bend = rng.uniform(-0.02f, 0.02f);
        std::vector<cv::Point> strand{start};
        cv::Point2f at(start);
        for (int step = rng.uniform(15, 70); step > 0; --step) {
            at += 2.f * cv::Point2f(std::cos(angle), std::sin(angle));
            angle += bend;
            strand.emplace_back(at);
        }
        cv::polylines(small, strand, false, cv::Scalar(rng.uniform(90, 255)), 1, cv::LINE_AA);
    }
    cv::Mat alpha;
    cv::resize(small, alpha, size, 0, 0, cv::INTER_LANCZOS4);

    EdgeTruth truth;
    fg.convertTo(truth.foreground, CV_8UC3);
    bg.convertTo(truth.background, CV_8UC3);
    truth.alpha = alpha;
    cv::Mat a, a3, f, b;
    alpha.convertTo(a, CV_32F, 1.0 / 255);
    cv::merge(std::vector<cv::Mat>{a, a, a}, a3);
    truth.foreground.convertTo(f, CV_32FC3);
    truth.background.convertTo(b, CV_32FC3);
    cv::Mat mixed = a3.mul(f) + (cv::Scalar::all(1) - a3).mul(b);
    mixed.convertTo(truth.photo, CV_8UC3);
    return truth;
}

namespace {

// Mean over the soft pixels and channels of |colour - foreground| * alpha: how far the picture
// laid on white is from the subject alone laid on white.
double errorOnWhite(const cv::Mat &colour, const EdgeTruth &truth)
{
    double sum = 0;
    long count = 0;
    for (int y = 0; y < colour.rows; ++y)
        for (int x = 0; x < colour.cols; ++x) {
            const int a = truth.alpha.at<uchar>(y, x);
            if (a == 0 || a == 255)
                continue;
            const cv::Vec3b c = colour.at<cv::Vec3b>(y, x), f = truth.foreground.at<cv::Vec3b>(y, x);
            for (int k = 0; k < 3; ++k)
                sum += std::abs(int(c[k]) - int(f[k])) * a / 255.0;
            count += 3;
        }
    return count ? sum / double(count) : 0;
}

double millisecondsOf(const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

void benchEdges()
{
    const EdgeTruth truth = makeEdgeTruth({4000, 3000}, 1);
    const double band = double(cv::countNonZero((truth.alpha > 0) & (truth.alpha < 255))) / double(truth.alpha.total());

    std::vector<double> cleanMs;
    cv::Mat cleaned;
    for (int run = 0; run < 5; ++run) {
        cleaned = truth.photo.clone();
        cleanMs.push_back(millisecondsOf([&] { edgecleaner::clean(cleaned, truth.alpha); }));
    }
    std::sort(cleanMs.begin(), cleanMs.end());

    cv::Mat rgba;
    cv::merge(std::vector<cv::Mat>{truth.photo, truth.alpha}, rgba);
    std::vector<double> floorMs;
    for (int run = 0; run < 3; ++run) {
        std::vector<uchar> png;
        floorMs.push_back(millisecondsOf([&] { cv::imencode(".png", rgba, png); }));
    }
    std::sort(floorMs.begin(), floorMs.end());

    const double before = errorOnWhite(truth.photo, truth), after = errorOnWhite(cleaned, truth);
    const double ms = cleanMs[cleanMs.size() / 2], floor = floorMs[floorMs.size() / 2];
    std::printf("soft band: %.2f%% of %dx%d\n", 100 * band, truth.alpha.cols, truth.alpha.rows);
    std::printf("error on white: default %.3f, cleaned %.3f, ratio %.3f (at most 0.35)\n", before, after, after / before);
    std::printf("clean(): %.1f ms (fastest %.1f); floor: %.1f ms; ratio %.3f (at most 0.25)\n", ms, cleanMs.front(), floor,
                ms / floor);
}

int main()
{
    benchEdges();
    return 0;
}
