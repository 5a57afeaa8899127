#include "jpegrows.h"

#include "imageformat.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>

namespace {

// Where the library's errors jump back to, and whether the data ran out.
struct Recovery
{
    std::jmp_buf failed;
    bool ranOut = false;
};

// The library's errors end in a long jump back to the call that met them, as OpenCV's do.
void jumpBack(j_common_ptr info)
{
    std::longjmp(static_cast<Recovery *>(info->client_data)->failed, 1);
}

// Its warnings (data it mends) pass, as OpenCV lets them, but one: data that ends early is
// mended with grey by the library's memory reader, where OpenCV's reader stops short. Such a
// photo is left to OpenCV.
void noteRunningOut(j_common_ptr info, int level)
{
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
        static_cast<Recovery *>(info->client_data)->ranOut = true;
}

} // namespace

struct JpegRows::State
{
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    Recovery recovery;
    bool created = false;
};

JpegRows::JpegRows()
    : state(new State)
{
}

JpegRows::~JpegRows()
{
    if (state->created)
        jpeg_destroy_decompress(&state->info);
}

bool JpegRows::start(const unsigned char *data, std::size_t size)
{
    if (state->created || imageformat::sniff(data, size) != imageformat::Format::Jpeg
        || imageformat::jpegOrientation(data, size) != 1)
        return false;
    jpeg_decompress_struct &info = state->info;
    info.err = jpeg_std_error(&state->errors);
    state->errors.error_exit = jumpBack;
    state->errors.emit_message = noteRunningOut;
    info.client_data = &state->recovery;
    if (setjmp(state->recovery.failed))
        return false;
    jpeg_create_decompress(&info);
    state->created = true;
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    // Motion JPEG leaves out its tables, which OpenCV supplies: left to OpenCV.
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || info.num_components != 3 || info.ac_huff_tbl_ptrs[0] == nullptr
        || state->recovery.ranOut)
        return false;
    info.out_color_space = JCS_EXT_BGR;
    info.out_color_components = 3;
    return true;
}

cv::Size JpegRows::size() const
{
    return state->created ? cv::Size(int(state->info.image_width), int(state->info.image_height)) : cv::Size();
}

bool JpegRows::decode(cv::Mat &colour, const std::function<void(int)> &rowsDone)
{
    jpeg_decompress_struct &info = state->info;
    CV_Assert(state->created && colour.type() == CV_8UC3 && colour.size() == size());
    if (setjmp(state->recovery.failed))
        return false;
    jpeg_start_decompress(&info);
    if (int(info.output_width) != colour.cols || int(info.output_height) != colour.rows)
        return false;
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[16];
        const int first = int(info.output_scanline);
        const int wanted = std::min(16, colour.rows - first);
        for (int i = 0; i < wanted; ++i)
            rows[i] = colour.ptr<JSAMPLE>(first + i);
        if (jpeg_read_scanlines(&info, rows, JDIMENSION(wanted)) == 0 || state->recovery.ranOut)
            return false;
        rowsDone(int(info.output_scanline));
    }
    jpeg_finish_decompress(&info);
    return !state->recovery.ranOut;
}
