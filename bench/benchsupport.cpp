#include "benchsupport.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
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
