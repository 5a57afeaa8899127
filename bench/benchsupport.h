#pragma once

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// A photograph-like picture: smooth light, soft shapes and sensor noise, so that it
// compresses the way real photos do.
cv::Mat photographLike(int width, int height, unsigned seed = 42);
// A cut-out of that picture at a reduced size, with a feathered elliptical subject.
cv::Mat reducedCutout(const cv::Mat &photo, int width, int height);

struct RunFigures
{
    double milliseconds = 0;
    long peakKilobytes = 0;
};

// Runs `work` in a fresh child process, so that each run's peak memory is its own.
RunFigures runInChild(const std::function<void()> &work);

double median(std::vector<double> values);
