#include "benchsupport.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

cv::Mat photographLike(int width, int height, unsigned seed)
{
    cv::RNG rng(seed);
    cv::Mat photo(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y) {
        auto *row = photo.ptr<cv::Vec3b>(y);
        for (int x = 0; x < width; ++x)
            row[x] = cv::Vec3b(uchar(60 + 120 * x / width), uchar(90 + 100 * y / height), uchar(170 - 80 * x / width));
    }
    for (int i = 0; i < 40; ++i) {
        const cv::Point centre(rng.uniform(0, width), rng.uniform(0, height));
        const cv::Size axes(rng.uniform(width / 40, width / 6), rng.uniform(height / 40, height / 6));
        cv::ellipse(photo, centre, axes, rng.uniform(0, 180), 0, 360,
                    cv::Scalar(rng.uniform(0, 255), rng.uniform(0, 255), rng.uniform(0, 255)), cv::FILLED, cv::LINE_AA);
    }
    cv::GaussianBlur(photo, photo, {0, 0}, 6);
    cv::Mat noise(photo.size(), CV_8UC3);
    rng.fill(noise, cv::RNG::NORMAL, 0, 5);
    cv::Mat signedNoise;
    noise.convertTo(signedNoise, CV_16SC3);
    cv::Mat sum;
    photo.convertTo(sum, CV_16SC3);
    rng.fill(signedNoise, cv::RNG::NORMAL, 0, 5);
    sum += signedNoise;
    sum.convertTo(photo, CV_8UC3);
    return photo;
}

cv::Mat reducedCutout(const cv::Mat &photo, int width, int height)
{
    cv::Mat small;
    cv::resize(photo, small, {width, height}, 0, 0, cv::INTER_AREA);
    cv::Mat alpha(small.size(), CV_8U, cv::Scalar(0));
    cv::ellipse(alpha, {width / 2, height / 2}, {width / 3, height * 2 / 5}, 0, 0, 360, cv::Scalar(255), cv::FILLED);
    cv::GaussianBlur(alpha, alpha, {0, 0}, 3);
    const cv::Mat planes[] = {small, alpha};
    cv::Mat cutout;
    cv::merge(planes, 2, cutout);
    return cutout;
}

RunFigures runInChild(const std::function<void()> &work)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        const auto start = std::chrono::steady_clock::now();
        work();
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (write(pipeEnds[1], &ms, sizeof ms) != sizeof ms)
            _exit(1);
        _exit(0);
    }
    close(pipeEnds[1]);
    RunFigures figures;
    if (read(pipeEnds[0], &figures.milliseconds, sizeof figures.milliseconds) != sizeof figures.milliseconds)
        figures.milliseconds = -1;
    close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    figures.peakKilobytes = usage.ru_maxrss;
    return figures;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A subject with wavy outline and strands of hair, its alpha drawn at a quarter of the size and
// scaled up with Lanczos as a service's cut-out would be; its colours vary smoothly, with some
// texture, over a slightly uneven, strongly green background, both with a camera's grain.
namespace {

// photo = alpha·foreground + (1 − alpha)·background.
EdgeTruth composed(const cv::Mat &fg, const cv::Mat &bg, const cv::Mat &alpha)
{
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

// Noise of `spread` either way, drawn on a grid of `cell` pixels and smoothly scaled up.
cv::Mat smoothNoise(cv::RNG &rng, cv::Size size, int cell, float spread, int type)
{
    cv::Mat coarse(std::max(2, size.height / cell), std::max(2, size.width / cell), type), fine;
    rng.fill(coarse, cv::RNG::UNIFORM, -spread, spread);
    cv::resize(coarse, fine, size, 0, 0, cv::INTER_CUBIC);
    return fine;
}

} // namespace

EdgeTruth makeEdgeTruth(cv::Size size, int seed)
{
    cv::RNG rng(uint64(seed) * 7919 + 1);
    const int w = size.width, h = size.height;
    const auto lowNoise = [&](int cell, float spread, int type) { return smoothNoise(rng, size, cell, spread, type); };

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

    return composed(fg, bg, alpha);
}

EdgeTruth makeStrandTruth(cv::Size size, int strands, int seed)
{
    cv::RNG rng(uint64(seed) * 104729 + 3);
    const int w = size.width, h = size.height;
    const auto noiseAt = [&](int cell, float spread, int type) { return smoothNoise(rng, size, cell, spread, type); };
    cv::Mat grain(size, CV_32FC3);
    // A wall: light falling off across it, patches of paint, plaster texture at several scales.
    cv::Mat bg(size, CV_32FC3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float light = 0.55f + 0.45f * std::cos(2.2f * (float(x) / float(w) - 0.3f)) * (1 - 0.3f * float(y) / float(h));
            bg.at<cv::Vec3f>(y, x) = cv::Vec3f(150, 170, 185) * light;
        }
    bg += noiseAt(300, 45, CV_32FC3) + noiseAt(24, 22, CV_32FC3) + noiseAt(5, 14, CV_32FC3);
    rng.fill(grain, cv::RNG::NORMAL, 0, 3);
    bg += grain;
    cv::Mat fg(size, CV_32FC3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float u = float(x) / float(w), v = float(y) / float(h);
            fg.at<cv::Vec3f>(y, x) = cv::Vec3f(40 + 30 * u, 50 + 30 * v, 95 + 50 * std::sin(4 * u + 2 * v));
        }
    fg += noiseAt(40, 15, CV_32FC3) + noiseAt(4, 8, CV_32FC3);
    rng.fill(grain, cv::RNG::NORMAL, 0, 3);
    fg += grain;

    cv::Mat alpha(size, CV_8U, cv::Scalar(0));
    const cv::Point2f centre(w * 0.5f, h * 0.62f);
    std::vector<cv::Point> outline;
    for (int i = 0; i < 1440; ++i) {
        const float t = float(i) * float(CV_2PI) / 1440;
        const float r = 1 + 0.05f * std::sin(5 * t + 1) + 0.03f * std::sin(13 * t);
        outline.emplace_back(cv::Point2f(centre.x + 0.27f * w * r * std::cos(t), centre.y + 0.35f * h * r * std::sin(t)));
    }
    cv::fillPoly(alpha, std::vector<std::vector<cv::Point>>{outline}, cv::Scalar(255), cv::LINE_AA);
    const float unit = float(w) / 4000;
    for (int i = 0; i < strands; ++i) {
        const cv::Point start = outline[size_t(rng.uniform(740, 1420))];
        float angle = std::atan2(float(start.y) - centre.y, float(start.x) - centre.x) + rng.uniform(-0.6f, 0.6f);
        const float bend = rng.uniform(-0.012f, 0.012f);
        std::vector<cv::Point> strand{start};
        cv::Point2f at(start);
        for (int step = rng.uniform(20, 90); step > 0; --step) {
            at += 4 * unit * cv::Point2f(std::cos(angle), std::sin(angle));
            angle += bend;
            strand.emplace_back(at);
        }
        cv::polylines(alpha, strand, false, cv::Scalar(rng.uniform(110, 255)), rng.uniform(1, 3), cv::LINE_AA);
    }

    return composed(fg, bg, alpha);
}
