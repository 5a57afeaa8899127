// The HEIF reader: the container's sizes, the decoded image against them, and the profile.
#include "heifimage.h"
#include "imageformat.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const heifimage::Info info = heifimage::probe(data, size);
    heifimage::iccProfile(data, size);
    if (info.width > 0 && !heifimage::isHeif(data, size))
        std::abort();
    // Small images only: the fuzzer's memory is not a photo's.
    if (std::uint64_t(info.width) * std::uint64_t(info.height) > 4'000'000
        || std::uint64_t(info.storedWidth) * std::uint64_t(info.storedHeight) > 4'000'000)
        return 0;
    heifimage::Failure failure = heifimage::Failure::None;
    const cv::Mat image = heifimage::decode(data, size, true, &failure);
    if (image.empty() != (failure != heifimage::Failure::None))
        std::abort();
    if (!image.empty() && (image.cols != info.width || image.rows != info.height))
        std::abort();
    return 0;
}
