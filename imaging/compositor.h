#pragma once

#include "scaleandmix.h"

#include <opencv2/core.hpp>

// Makes what one composite asks for: the master from the photo and the service's cut-out (or
// from a master already complete), then the files beside it at the paths the request names.
namespace compositor {

// May throw, as the image library does on what it cannot allocate; ScaleAndMix::make()
// turns that into an outcome.
ScaleAndMix::Report make(const ScaleAndMix::Request &request, int threads);

// A master touched up by hand: written whole or not at all at `request.target` with the
// chunks and profile it had, marked as edited, then every file the choices make beside it
// made again from it. Only a PNG master can carry the mark: another is refused unwritten.
ScaleAndMix::Report saveEdited(const ScaleAndMix::Request &request, const cv::Mat &colour, const cv::Mat &alpha,
                               int threads);

} // namespace compositor
