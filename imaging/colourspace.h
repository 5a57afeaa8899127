#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <vector>

// Colour profiles judged and pixels converted by Little CMS.
namespace colourspace {

// Why Little CMS cannot take the profile as an RGB device's, in a few words; null when it can.
const char *rgbProfileProblem(const unsigned char *data, std::size_t size);

// A compact sRGB profile, the same bytes every time.
const std::vector<unsigned char> &srgbProfile();

// 8-bit BGR pixels converted in place from the profile's colours to sRGB: relative
// colorimetric with black-point compensation, or perceptual where the profile has a table
// for it. False, the pixels as they were, when the profile cannot be used.
bool toSrgb(cv::Mat &bgr, const std::vector<unsigned char> &profile);

} // namespace colourspace
