// The format and header reader: every entry point on the same bytes, and the file reader
// against the one in memory, which must agree to the pixel count.
#include "imageformat.h"

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const imageformat::Header stored = imageformat::probe(data, size);
    const imageformat::Header upright = imageformat::probeUpright(data, size);
    imageformat::jpegOrientation(data, size);
    imageformat::pngHasAlpha(data, size);
    if (stored.format != imageformat::sniff(data, size) || upright.format != stored.format)
        std::abort();

    static const std::string path = "/tmp/fuzz_imageformat." + std::to_string(getpid());
    if (std::FILE *file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
        const imageformat::Header fromFile = imageformat::probeFile(path, true);
        if (fromFile.format != upright.format || fromFile.width != upright.width || fromFile.height != upright.height)
            std::abort();
    }

    // Small images only: the fuzzer's memory is not a photo's.
    if (stored.acceptable() && std::uint64_t(stored.width) * std::uint64_t(stored.height) <= 4'000'000) {
        const cv::Mat image = imageformat::decode(data, size, cv::IMREAD_UNCHANGED);
        // A HEIF's crop makes its decoded size the upright one, which may be neither of the others.
        if (!image.empty() && !(image.cols == stored.width && image.rows == stored.height)
            && !(image.cols == stored.height && image.rows == stored.width)
            && !(stored.format == imageformat::Format::Heif && image.cols == upright.width && image.rows == upright.height))
            std::abort();
    }
    return 0;
}
