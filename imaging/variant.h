#pragma once

#include "outputchoices.h"

#include <opencv2/core.hpp>

#include <functional>

namespace variant {

// The variant of a full-size cut-out: cropped to the subject box with its margin, on its
// canvas, laid on the background when there is one. `colour` 8-bit BGR and `alpha` 8-bit
// single-channel of the same size. Returns BGR with a background, BGRA without. `empty`
// is set when there is no subject to crop to, and the image then is not cropped. With a
// preset, the subject is framed as it says, and there is no image without a subject;
// `recolour`, when given, converts the subject's BGR pixels once they are at the frame's size,
// before they are laid on the background.
cv::Mat render(const cv::Mat &colour, const cv::Mat &alpha, const OutputChoices &choices, bool *empty = nullptr,
               const std::function<void(cv::Mat &)> &recolour = {});

// The subject box: the pixels of alpha over a small threshold, so that faint noise does not
// stretch it; empty when there are none.
cv::Rect subjectBox(const cv::Mat &alpha);

} // namespace variant
