#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <functional>
#include <memory>

// Decodes a JPEG a few rows at a time, so that what is done with the first rows can begin
// before the last are decoded. It reads exactly as OpenCV's decoder does (the same library,
// its default method, straight to BGR), so the pixels are the same; only a colour JPEG
// with no EXIF turn is taken, the rest is left to OpenCV.
class JpegRows
{
public:
    JpegRows();
    ~JpegRows();
    JpegRows(const JpegRows &) = delete;
    JpegRows &operator=(const JpegRows &) = delete;

    // Reads the header; false when the bytes are not a JPEG of three components that this
    // can decode as OpenCV would. `data` must outlive the decoding.
    bool start(const unsigned char *data, std::size_t size);
    cv::Size size() const;

    // Decodes every row into `colour` (8-bit BGR, allocated at size() by the caller),
    // calling `rowsDone` with the number of rows in place after each batch of them. False
    // when the data breaks off or is damaged beyond what the library mends: OpenCV's reading
    // of it may differ, and is the one to use.
    bool decode(cv::Mat &colour, const std::function<void(int)> &rowsDone);

private:
    struct State;
    std::unique_ptr<State> state;
};
