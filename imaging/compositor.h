#pragma once

#include "scaleandmix.h"

// Makes what one composite asks for: the master from the photo and the service's cut-out (or
// from a master already complete), then the files beside it at the paths the request names.
namespace compositor {

// May throw, as the image library does on what it cannot allocate; ScaleAndMix::make()
// turns that into an outcome.
ScaleAndMix::Report make(const ScaleAndMix::Request &request, int threads);

} // namespace compositor
