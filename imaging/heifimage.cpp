#include "heifimage.h"

#include "imageformat.h"

#include <libheif/heif.h>

#include <opencv2/imgproc.hpp>

#include <cstring>
#include <memory>

namespace heifimage {

namespace {

const char *const heifBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1", "avif", "avis"};

bool heifBrand(const unsigned char *brand)
{
    for (const char *known : heifBrands)
        if (std::memcmp(brand, known, 4) == 0)
            return true;
    return false;
}

// A context and its primary image's handle, released together.
struct Primary
{
    std::unique_ptr<heif_context, void (*)(heif_context *)> context{heif_context_alloc(), heif_context_free};
    std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle *)> handle{nullptr, heif_image_handle_release};
    heif_error error{heif_error_Ok, heif_suberror_Unspecified, ""};

    // libheif's own bound, a little above ours, which is checked on the handle's sizes.
    void limit() { heif_context_set_maximum_image_size_limit(context.get(), 15812); }

    bool open(heif_error read)
    {
        error = read;
        if (read.code != heif_error_Ok)
            return false;
        heif_image_handle *primary = nullptr;
        error = heif_context_get_primary_image_handle(context.get(), &primary);
        handle.reset(primary);
        return error.code == heif_error_Ok && primary;
    }
    bool openMemory(const unsigned char *data, std::size_t size)
    {
        limit();
        return open(heif_context_read_from_memory_without_copy(context.get(), data, size, nullptr));
    }
    bool openFile(const std::string &path)
    {
        limit();
        return open(heif_context_read_from_file(context.get(), path.c_str(), nullptr));
    }
    Info info() const
    {
        Info info;
        const auto positive = [](int value) { return value > 0 ? value : 0; };
        info.storedWidth = positive(heif_image_handle_get_ispe_width(handle.get()));
        info.storedHeight = positive(heif_image_handle_get_ispe_height(handle.get()));
        info.width = positive(heif_image_handle_get_width(handle.get()));
        info.height = positive(heif_image_handle_get_height(handle.get()));
        if (info.storedWidth == 0 || info.storedHeight == 0 || info.width == 0 || info.height == 0)
            info = Info();
        return info;
    }
};

Failure failureOf(const heif_error &error)
{
    if (error.code == heif_error_Ok)
        return Failure::None;
    if (error.subcode == heif_suberror_End_of_data)
        return Failure::CutShort;
    if (error.subcode == heif_suberror_Security_limit_exceeded)
        return Failure::TooLarge;
    if (error.code == heif_error_Unsupported_filetype || error.code == heif_error_Unsupported_feature)
        return Failure::Unsupported;
    return Failure::Corrupt;
}

bool withinBound(const Info &info)
{
    const auto pixels = [](int width, int height) { return std::uint64_t(width) * std::uint64_t(height); };
    return info.width > 0 && pixels(info.width, info.height) <= imageformat::maxPixels
           && pixels(info.storedWidth, info.storedHeight) <= imageformat::maxPixels;
}

} // namespace

bool isHeif(const unsigned char *data, std::size_t size)
{
    if (size < 16 || std::memcmp(data + 4, "ftyp", 4) != 0)
        return false;
    const std::size_t boxSize = std::size_t(data[0]) << 24 | std::size_t(data[1]) << 16 | std::size_t(data[2]) << 8 | data[3];
    if (boxSize < 16)
        return false;
    if (heifBrand(data + 8))
        return true;
    // The compatible brands follow the minor version. Only those in the first 32 bytes count,
    // so that a file's head alone decides, as the header reader reads it.
    for (std::size_t at = 16; at + 4 <= boxSize && at + 4 <= size && at + 4 <= 32; at += 4)
        if (heifBrand(data + at))
            return true;
    return false;
}

Info probe(const unsigned char *data, std::size_t size)
{
    Primary primary;
    return isHeif(data, size) && primary.openMemory(data, size) ? primary.info() : Info();
}

Info probeFile(const std::string &path)
{
    Primary primary;
    return primary.openFile(path) ? primary.info() : Info();
}

cv::Mat decode(const unsigned char *data, std::size_t size, bool withAlpha, Failure *why)
{
    const auto failed = [&](Failure reason) {
        if (why)
            *why = reason;
        return cv::Mat();
    };
    if (!isHeif(data, size))
        return failed(Failure::Unsupported);
    Primary primary;
    if (!primary.openMemory(data, size))
        return failed(failureOf(primary.error));
    const Info info = primary.info();
    if (!withinBound(info))
        return failed(Failure::TooLarge);
    const bool alpha = withAlpha && heif_image_handle_has_alpha_channel(primary.handle.get());
    heif_image *decoded = nullptr;
    const heif_error error = heif_decode_image(primary.handle.get(), &decoded, heif_colorspace_RGB,
                                               alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr);
    const std::unique_ptr<heif_image, void (*)(const heif_image *)> image(decoded, heif_image_release);
    const Failure failure = failureOf(error);
    if (failure != Failure::None || !image)
        return failed(failure == Failure::None ? Failure::Corrupt : failure);
    int stride = 0;
    const uint8_t *plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int channels = alpha ? 4 : 3;
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    // The decoder must agree with the container that was checked.
    if (!plane || width != info.width || height != info.height
        || heif_image_get_bits_per_pixel(image.get(), heif_channel_interleaved) != 8 * channels)
        return failed(Failure::Corrupt);
    cv::Mat out;
    try {
        const cv::Mat rgb(height, width, CV_8UC(channels), const_cast<uint8_t *>(plane), std::size_t(stride));
        cv::cvtColor(rgb, out, alpha ? cv::COLOR_RGBA2BGRA : cv::COLOR_RGB2BGR);
    } catch (...) {
        return failed(Failure::Corrupt);
    }
    if (why)
        *why = Failure::None;
    return out;
}

std::vector<unsigned char> iccProfile(const unsigned char *data, std::size_t size)
{
    Primary primary;
    if (!isHeif(data, size) || !primary.openMemory(data, size))
        return {};
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(primary.handle.get());
    if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC)
        return {};
    std::vector<unsigned char> profile(heif_image_handle_get_raw_color_profile_size(primary.handle.get()));
    if (profile.empty() || heif_image_handle_get_raw_color_profile(primary.handle.get(), profile.data()).code != heif_error_Ok)
        return {};
    return profile;
}

} // namespace heifimage
