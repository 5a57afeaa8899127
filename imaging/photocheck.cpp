#include "photocheck.h"

#include "heifimage.h"
#include "imageformat.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QtGlobal>

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

namespace photocheck {

namespace {

const char *const cutShort = QT_TRANSLATE_NOOP("PhotoCheck", "数据在结尾之前中断");
const char *const corrupt = QT_TRANSLATE_NOOP("PhotoCheck", "数据有误");
const char *const unreadable = QT_TRANSLATE_NOOP("PhotoCheck", "无法读取这张照片");
const char *const tooLarge = QT_TRANSLATE_NOOP("PhotoCheck", "超过 2.5 亿像素");
const char *const noDecoder = QT_TRANSLATE_NOOP("PhotoCheck", "这种 HEIF 编码无法解码");

struct JpegErrors
{
    jpeg_error_mgr base;
    std::jmp_buf jump;
    int firstLoss = 0; // the first warning that costs pixels
};

void onJpegError(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<JpegErrors *>(info->err)->jump, 1);
}

void onJpegMessage(j_common_ptr info, int level)
{
    auto *errors = reinterpret_cast<JpegErrors *>(info->err);
    if (level < 0 && errors->firstLoss == 0 && info->err->msg_code != JWRN_EXTRANEOUS_DATA)
        errors->firstLoss = info->err->msg_code;
}

// Every coefficient read, as the decoder reads them; at an eighth of the size, so that only
// the entropy decoding costs anything.
const char *jpegDamage(const QByteArray &photo)
{
    jpeg_decompress_struct info;
    JpegErrors errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = onJpegError;
    errors.base.emit_message = onJpegMessage;
    errors.firstLoss = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return corrupt;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char *>(photo.constData()), static_cast<unsigned long>(photo.size()));
    jpeg_read_header(&info, TRUE);
    info.scale_num = 1;
    info.scale_denom = 8;
    info.dct_method = JDCT_IFAST;
    info.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&info);
    JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                               info.output_width * JDIMENSION(info.output_components), 1);
    while (info.output_scanline < info.output_height && errors.firstLoss == 0)
        jpeg_read_scanlines(&info, row, 1);
    if (errors.firstLoss == 0)
        jpeg_finish_decompress(&info);
    const int loss = errors.firstLoss;
    jpeg_destroy_decompress(&info);
    return loss == 0 ? nullptr : loss == JWRN_JPEG_EOF ? cutShort : corrupt;
}

quint32 bigEndian32(const unsigned char *at)
{
    return quint32(at[0]) << 24 | quint32(at[1]) << 16 | quint32(at[2]) << 8 | at[3];
}

// The bytes the image data inflates to: each row, or each row of each Adam7 pass, behind its
// filter byte.
quint64 pngRawBytes(quint64 width, quint64 height, int bitsPerPixel, bool interlaced)
{
    const auto rows = [&](quint64 w, quint64 h) { return w == 0 || h == 0 ? 0 : h * (1 + (w * bitsPerPixel + 7) / 8); };
    if (!interlaced)
        return rows(width, height);
    static const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    quint64 total = 0;
    for (const auto &pass : passes)
        total += rows((width + pass[2] - 1 - pass[0]) / pass[2], (height + pass[3] - 1 - pass[1]) / pass[3]);
    return total;
}

// Every chunk in the file and its CRC right up to IEND, and the image data inflating to
// exactly the rows the header promises.
const char *pngDamage(const QByteArray &photo)
{
    const auto *data = reinterpret_cast<const unsigned char *>(photo.constData());
    const std::size_t size = std::size_t(photo.size());
    if (size < 8 + 25 || std::memcmp(data + 12, "IHDR", 4) != 0 || bigEndian32(data + 8) != 13)
        return corrupt;
    const quint64 width = bigEndian32(data + 16), height = bigEndian32(data + 20);
    static const int channelsOf[7] = {1, 0, 3, 1, 2, 0, 4};
    const int depth = data[24], colourType = data[25];
    if (colourType > 6 || channelsOf[colourType] == 0 || depth == 0 || depth > 16)
        return corrupt;
    const quint64 expected = pngRawBytes(width, height, depth * channelsOf[colourType], data[28] == 1);

    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return nullptr;
    unsigned char scratch[1 << 16];
    quint64 inflated = 0;
    int status = Z_OK;
    bool ended = false;
    for (std::size_t at = 8; !ended;) {
        if (size - at < 12) {
            inflateEnd(&stream);
            return cutShort;
        }
        const std::size_t length = bigEndian32(data + at);
        if (length > size - at - 12) {
            inflateEnd(&stream);
            return cutShort;
        }
        const unsigned char *type = data + at + 4;
        if (crc32_z(0, type, 4 + length) != bigEndian32(type + 4 + length)) {
            inflateEnd(&stream);
            return corrupt;
        }
        if (std::memcmp(type, "IDAT", 4) == 0 && status == Z_OK) {
            stream.next_in = const_cast<unsigned char *>(type + 4);
            stream.avail_in = uInt(length);
            while (stream.avail_in > 0 && status == Z_OK && inflated <= expected) {
                stream.next_out = scratch;
                stream.avail_out = sizeof scratch;
                status = inflate(&stream, Z_NO_FLUSH);
                inflated += sizeof scratch - stream.avail_out;
                if (status == Z_BUF_ERROR)
                    status = Z_OK; // wants the next chunk's bytes
            }
        }
        ended = std::memcmp(type, "IEND", 4) == 0;
        at += 12 + length;
    }
    inflateEnd(&stream);
    if (status == Z_STREAM_END && inflated == expected)
        return nullptr;
    return status == Z_OK && inflated < expected ? cutShort : corrupt;
}

const char *heifDamage(heifimage::Failure failure)
{
    switch (failure) {
    case heifimage::Failure::None:
    case heifimage::Failure::Unsupported:
    case heifimage::Failure::TooLarge:
        return nullptr;
    case heifimage::Failure::CutShort:
        return cutShort;
    case heifimage::Failure::Corrupt:
        break;
    }
    return corrupt;
}

QByteArray jpegOf(const cv::Mat &image, int quality)
{
    std::vector<unsigned char> encoded;
    try {
        if (!cv::imencode(".jpg", image, encoded, {cv::IMWRITE_JPEG_QUALITY, quality}))
            return {};
    } catch (...) {
        return {};
    }
    return QByteArray(reinterpret_cast<const char *>(encoded.data()), int(encoded.size()));
}

Upload madeFrom(const cv::Mat &image, bool preview)
{
    Upload upload;
    if (image.empty()) {
        upload.refusal = unreadable;
        return upload;
    }
    const double pixels = double(image.cols) * image.rows;
    if (!preview || pixels <= previewPixels) {
        upload.made = jpegOf(image, preview ? 90 : 95);
    } else {
        const double scale = std::sqrt(previewPixels / pixels);
        // A side that comes out a hair under a whole number is that number.
        const auto side = [scale](int length) { return std::max(1, int(std::floor(length * scale + 1e-6))); };
        cv::Size size(side(image.cols), side(image.rows));
        while (double(size.width) * size.height > previewPixels)
            --(size.width > size.height ? size.width : size.height);
        cv::Mat small;
        cv::resize(image, small, size, 0, 0, cv::INTER_AREA);
        upload.made = jpegOf(small, 90);
    }
    if (upload.made.isEmpty())
        upload.refusal = unreadable;
    return upload;
}

} // namespace

Upload prepare(const QByteArray &photo, bool preview)
{
    const auto *data = reinterpret_cast<const unsigned char *>(photo.constData());
    const std::size_t size = std::size_t(photo.size());
    const imageformat::Header header = imageformat::probe(data, size);
    Upload upload;
    // Over the bound: nothing is made from it; a photo's own bytes go as they always have.
    const bool overBound = header.width > 0 && !header.acceptable();
    if (overBound && (preview || header.format == imageformat::Format::Heif)) {
        upload.refusal = tooLarge;
        return upload;
    }
    if (header.format == imageformat::Format::Heif) {
        heifimage::Failure failure = heifimage::Failure::None;
        const cv::Mat image = heifimage::decode(data, size, false, &failure);
        if (const char *damaged = heifDamage(failure)) {
            upload.refusal = damaged;
            upload.damaged = true;
            return upload;
        }
        if (image.empty()) {
            upload.refusal = failure == heifimage::Failure::Unsupported ? noDecoder
                             : failure == heifimage::Failure::TooLarge  ? tooLarge
                                                                        : unreadable;
            return upload;
        }
        return madeFrom(image, preview);
    }
    if (const char *damaged = damage(photo)) {
        upload.refusal = damaged;
        upload.damaged = true;
        return upload;
    }
    if (!preview)
        return upload;
    return madeFrom(header.acceptable() ? imageformat::decode(data, size, cv::IMREAD_COLOR) : cv::Mat(), true);
}

const char *damage(const QByteArray &photo)
{
    const auto *data = reinterpret_cast<const unsigned char *>(photo.constData());
    const imageformat::Header header = imageformat::probe(data, std::size_t(photo.size()));
    // A HEIF whose item is cut short may not even give its size.
    if (header.format == imageformat::Format::Heif) {
        heifimage::Failure failure = heifimage::Failure::None;
        if (header.acceptable() || header.width == 0)
            heifimage::decode(data, std::size_t(photo.size()), false, &failure);
        return heifDamage(failure);
    }
    // What cannot be decoded at all is the service's to refuse, and the compositor's.
    if (!header.acceptable())
        return nullptr;
    if (header.format == imageformat::Format::Jpeg)
        return jpegDamage(photo);
    if (header.format == imageformat::Format::Png)
        return pngDamage(photo);
    return nullptr;
}

} // namespace photocheck
