#include "edgerefiner.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace edgerefiner {
namespace {

constexpr int kTile = 256;
// Alpha this close to 0 or 1 after a pass is taken as background or subject in the next.
constexpr float kCertain = 0.03f;
// The scaled alpha's own clear and opaque: Lanczos leaves faint ringing near an edge.
constexpr float kScaledClear = 3.f / 255, kScaledOpaque = 252.f / 255;
// Where subject and background are about this close in colour (0 to 255 a channel), the
// photo tells little, and the scaled alpha counts as much as the colours.
constexpr float kContrast = 24;
constexpr float kFaint = 0.05f;

// Each pixel's colour from the nearest pixels of weight 1: pushed down a pyramid of weighted
// means, then pulled back up, a level's own mean counting by how much of it is known.
cv::Mat fillFromKnown(const cv::Mat &image, const cv::Mat &weight)
{
    cv::Mat weight3;
    cv::merge(std::vector<cv::Mat>{weight, weight, weight}, weight3);
    std::vector<cv::Mat> sums{image.mul(weight3)}, weights{weight.clone()};
    while (sums.back().cols > 2 && sums.back().rows > 2) {
        const cv::Size half((sums.back().cols + 1) / 2, (sums.back().rows + 1) / 2);
        cv::Mat s, w;
        cv::resize(sums.back(), s, half, 0, 0, cv::INTER_AREA);
        cv::resize(weights.back(), w, half, 0, 0, cv::INTER_AREA);
        sums.push_back(s);
        weights.push_back(w);
    }
    cv::Mat estimate;
    for (int level = int(sums.size()) - 1; level >= 0; --level) {
        const cv::Mat &s = sums[std::size_t(level)], &w = weights[std::size_t(level)];
        cv::Mat up;
        if (!estimate.empty())
            cv::resize(estimate, up, s.size(), 0, 0, cv::INTER_LINEAR);
        else
            up = cv::Mat(s.size(), CV_32FC3, cv::Scalar::all(0));
        cv::Mat own(s.size(), CV_32FC3);
        for (int y = 0; y < s.rows; ++y) {
            const auto *sum = s.ptr<cv::Vec3f>(y);
            const float *known = w.ptr<float>(y);
            const auto *above = up.ptr<cv::Vec3f>(y);
            auto *out = own.ptr<cv::Vec3f>(y);
            for (int x = 0; x < s.cols; ++x) {
                const float share = std::min(1.f, 4 * known[x]);
                out[x] = known[x] > 0 ? share * (sum[x] / known[x]) + (1 - share) * above[x] : above[x];
            }
        }
        estimate = own;
    }
    return estimate;
}

// A guided filter (grey guide) of `input` by `guide`, both float of one channel.
cv::Mat guided(const cv::Mat &guide, const cv::Mat &input, int radius, double epsilon)
{
    const cv::Size window(2 * radius + 1, 2 * radius + 1);
    cv::Mat meanI, meanP, meanIp, meanII;
    cv::boxFilter(guide, meanI, CV_32F, window);
    cv::boxFilter(input, meanP, CV_32F, window);
    cv::boxFilter(guide.mul(input), meanIp, CV_32F, window);
    cv::boxFilter(guide.mul(guide), meanII, CV_32F, window);
    const cv::Mat a = (meanIp - meanI.mul(meanP)) / (meanII - meanI.mul(meanI) + epsilon);
    const cv::Mat b = meanP - a.mul(meanI);
    cv::Mat meanA, meanB;
    cv::boxFilter(a, meanA, CV_32F, window);
    cv::boxFilter(b, meanB, CV_32F, window);
    return meanA.mul(guide) + meanB;
}

struct Work
{
    const cv::Mat &colour;
    const cv::Mat &scaled;
    cv::Mat &alpha;
    int reach;   // how far the band reaches past the soft pixels
    int padding; // the surroundings each tile reads
    Settings settings;
};

void refineTile(const Work &work, cv::Rect core)
{
    const cv::Rect whole(0, 0, work.colour.cols, work.colour.rows);
    const cv::Rect outer = cv::Rect(core.x - work.padding, core.y - work.padding, core.width + 2 * work.padding,
                                    core.height + 2 * work.padding) & whole;
    const cv::Mat scaledHere = work.scaled(outer);
    cv::Mat soft = (scaledHere > 0) & (scaledHere < 255);
    if (cv::countNonZero(soft) == 0)
        return;
    cv::Mat band;
    cv::dilate(soft, band, cv::getStructuringElement(cv::MORPH_ELLIPSE, {2 * work.reach + 1, 2 * work.reach + 1}));
    const cv::Rect inner = core - outer.tl();
    if (cv::countNonZero(band(inner)) == 0)
        return;

    cv::Mat image, start;
    work.colour(outer).convertTo(image, CV_32FC3);
    scaledHere.convertTo(start, CV_32F, 1.0 / 255);
    cv::Mat alpha = start.clone();
    cv::Mat subject = (start >= kScaledOpaque) & ~band, background = (start <= kScaledClear);
    for (int pass = 0; pass < work.settings.passes; ++pass) {
        cv::Mat subjectWeight, backgroundWeight;
        subject.convertTo(subjectWeight, CV_32F, 1.0 / 255);
        background.convertTo(backgroundWeight, CV_32F, 1.0 / 255);
        const cv::Mat fg = fillFromKnown(image, subjectWeight), bg = fillFromKnown(image, backgroundWeight);
        for (int y = 0; y < image.rows; ++y) {
            const auto *photo = image.ptr<cv::Vec3f>(y), *f = fg.ptr<cv::Vec3f>(y), *b = bg.ptr<cv::Vec3f>(y);
            const float *before = start.ptr<float>(y);
            const uchar *inBand = band.ptr<uchar>(y);
            float *out = alpha.ptr<float>(y);
            for (int x = 0; x < image.cols; ++x) {
                if (!inBand[x])
                    continue;
                const cv::Vec3f apart = f[x] - b[x];
                const float spread = apart.dot(apart);
                const float read = std::clamp((photo[x] - b[x]).dot(apart) / std::max(spread, 1e-3f), 0.f, 1.f);
                const float trust = spread / (spread + kContrast * kContrast);
                out[x] = trust * read + (1 - trust) * before[x];
            }
        }
        subject |= band & (alpha >= 1 - kCertain);
        background |= band & (alpha <= kCertain);
    }
    if (work.settings.guidedRadius > 0) {
        cv::Mat grey;
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
        cv::Mat smooth = guided(grey / 255, alpha, work.settings.guidedRadius, 1e-4);
        smooth.copyTo(alpha, band);
    }
    // The photo's grain on a textured background reads as faint alpha, which no strand is.
    alpha.setTo(0, band & (alpha < kFaint));
    cv::Mat result;
    alpha.convertTo(result, CV_8U, 255);
    // Only the band changes: far from an edge the cut-out's alpha stays as it was scaled.
    result(inner).copyTo(work.alpha(core), band(inner));
}

} // namespace

bool refine(const cv::Mat &colour, cv::Mat &alpha, double scale, int threads, const Settings &settings)
{
    CV_Assert(colour.type() == CV_8UC3 && alpha.type() == CV_8UC1 && colour.size() == alpha.size());
    if (scale < minimumScale || colour.empty())
        return false;
    if (cv::countNonZero((alpha > 0) & (alpha < 255)) == 0)
        return false;
    const cv::Mat scaled = alpha.clone();
    const int reach = int(std::ceil(scale));
    Work work{colour, scaled, alpha, reach, 3 * reach + 8, settings};
    std::vector<cv::Rect> tiles;
    for (int y = 0; y < colour.rows; y += kTile)
        for (int x = 0; x < colour.cols; x += kTile)
            tiles.emplace_back(x, y, std::min(kTile, colour.cols - x), std::min(kTile, colour.rows - y));

    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failureLock;
    const auto run = [&] {
        try {
            for (std::size_t i = next++; i < tiles.size(); i = next++)
                refineTile(work, tiles[i]);
        } catch (...) {
            const std::lock_guard<std::mutex> locked(failureLock);
            failure = std::current_exception();
            next = tiles.size();
        }
    };
    const int count = std::max(1, threads > 0 ? threads : int(std::thread::hardware_concurrency()));
    std::vector<std::thread> helpers;
    for (int i = 1; i < count; ++i)
        helpers.emplace_back(run);
    run();
    for (std::thread &helper : helpers)
        helper.join();
    if (failure)
        std::rethrow_exception(failure);
    return true;
}

} // namespace edgerefiner
