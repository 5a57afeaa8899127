#include "colourspace.h"

#include <lcms2.h>

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <iterator>
#include <memory>

namespace colourspace {

namespace {

struct ProfileCloser
{
    void operator()(void *profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

struct TransformDeleter
{
    void operator()(void *transform) const { cmsDeleteTransform(transform); }
};
using Transform = std::unique_ptr<void, TransformDeleter>;

Profile openProfile(const unsigned char *data, std::size_t size)
{
    if (size > 0xffffffffu)
        return Profile();
    return Profile(cmsOpenProfileFromMem(data, cmsUInt32Number(size)));
}

// The cache of one pixel is shared by the threads that call a transform; without it the
// transform is safe to use from several at once.
Transform toSrgbTransform(cmsHPROFILE from)
{
    const Profile srgb(cmsCreate_sRGBProfile());
    const bool perceptual = cmsIsCLUT(from, INTENT_PERCEPTUAL, LCMS_USED_AS_INPUT);
    const cmsUInt32Number intent = perceptual ? INTENT_PERCEPTUAL : INTENT_RELATIVE_COLORIMETRIC;
    const cmsUInt32Number flags = cmsFLAGS_NOCACHE | (perceptual ? 0 : cmsFLAGS_BLACKPOINTCOMPENSATION);
    return Transform(cmsCreateTransform(from, TYPE_BGR_8, srgb.get(), TYPE_BGR_8, intent, flags));
}

} // namespace

const char *rgbProfileProblem(const unsigned char *data, std::size_t size)
{
    const Profile profile = openProfile(data, size);
    if (!profile)
        return "not an ICC profile";
    const cmsProfileClassSignature kind = cmsGetDeviceClass(profile.get());
    if (cmsGetColorSpace(profile.get()) != cmsSigRgbData || kind == cmsSigLinkClass || kind == cmsSigAbstractClass
        || kind == cmsSigNamedColorClass)
        return "not an RGB profile";
    // Opening reads only the header and the tag table; a transform reads the tags themselves.
    if (!toSrgbTransform(profile.get()))
        return "its colours cannot be read";
    return nullptr;
}

const std::vector<unsigned char> &srgbProfile()
{
    static const std::vector<unsigned char> bytes = [] {
        const Profile srgb(cmsCreate_sRGBProfile());
        cmsUInt32Number size = 0;
        std::vector<unsigned char> saved;
        if (cmsSaveProfileToMem(srgb.get(), nullptr, &size) && size >= 128) {
            saved.resize(size);
            if (!cmsSaveProfileToMem(srgb.get(), saved.data(), &size))
                saved.clear();
        }
        // Little CMS dates the header when it saves; a fixed date keeps the bytes the same
        // from one run to the next, so that a file written before is known as sRGB.
        static const unsigned char date[12] = {0x07, 0xe8, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};
        if (saved.size() >= 36)
            std::copy(std::begin(date), std::end(date), saved.begin() + 24);
        return saved;
    }();
    return bytes;
}

bool toSrgb(cv::Mat &bgr, const std::vector<unsigned char> &profile)
{
    CV_Assert(bgr.type() == CV_8UC3);
    const Profile from = openProfile(profile.data(), profile.size());
    if (!from || cmsGetColorSpace(from.get()) != cmsSigRgbData)
        return false;
    const Transform transform = toSrgbTransform(from.get());
    if (!transform)
        return false;
    cv::parallel_for_(cv::Range(0, bgr.rows), [&](const cv::Range &rows) {
        for (int y = rows.start; y < rows.end; ++y)
            cmsDoTransform(transform.get(), bgr.ptr(y), bgr.ptr(y), cmsUInt32Number(bgr.cols));
    });
    return true;
}

} // namespace colourspace
