#pragma once

#include <opencv2/core.hpp>

// Estimates the subject's own colour at its soft edges, where a photo's pixel is a mix of
// subject and old background, so that a cut-out laid on another colour shows no halo.
namespace edgecleaner {

// `colour` is 8-bit BGR, `alpha` 8-bit single-channel of the same size. Where alpha is
// strictly between 0 and 255 the colour becomes the estimated foreground colour; pixels of
// alpha 0 or 255 are left exactly as they are. Works only on the band around the edges, so
// its cost grows with the edges' length, not the photo's size. `threads`: 0, one per core.
void clean(cv::Mat &colour, const cv::Mat &alpha, int threads = 0);

} // namespace edgecleaner
