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

// A photo whose truth is known: a subject with a wavy outline and fine strands, on a strong
// green, composed as photo = alpha·foreground + (1 − alpha)·background.
struct EdgeTruth
{
    cv::Mat foreground, background; // 8-bit BGR
    cv::Mat alpha;                  // 8-bit
    cv::Mat photo;
};
EdgeTruth makeEdgeTruth(cv::Size size, int seed);
// The same kind of truth for refining the alpha: `strands` strands of 1 to 2 pixels, drawn at
// full size, over a textured, unevenly lit wall of several colours.
EdgeTruth makeStrandTruth(cv::Size size, int strands, int seed);

struct RunFigures
{
    double milliseconds = 0;
    long peakKilobytes = 0;
};

// Runs `work` in a fresh child process, so that each run's peak memory is its own.
RunFigures runInChild(const std::function<void()> &work);

double median(std::vector<double> values);
