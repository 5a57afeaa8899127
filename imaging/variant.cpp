#include "variant.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <functional>
#include <cmath>
#include <vector>

namespace {

// Alpha at or below this is faint noise, not subject, for the crop.
constexpr int subjectThreshold = 10;
constexpr qint64 maxCanvasPixels = OutputChoices::maxCanvasPixels;

} // namespace

namespace variant {

cv::Rect subjectBox(const cv::Mat &alpha)
{
    // Each row from both ends to its first pixel above the threshold: far less than a
    // thresholded copy of a 12-megapixel plane.
    int top = -1, bottom = -1, left = alpha.cols, right = -1;
    for (int y = 0; y < alpha.rows; ++y) {
        const uchar *row = alpha.ptr<uchar>(y);
        int first = 0;
        while (first < alpha.cols && row[first] <= subjectThreshold)
            ++first;
        if (first == alpha.cols)
            continue;
        int last = alpha.cols - 1;
        while (row[last] <= subjectThreshold)
            --last;
        if (top < 0)
            top = y;
        bottom = y;
        left = std::min(left, first);
        right = std::max(right, last);
    }
    return top < 0 ? cv::Rect() : cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

namespace {

// Each row laid on the background: round((a·c + (255 − a)·b) / 255), in whole numbers.
void flatten(const cv::Mat &colour, const cv::Mat &alpha, const cv::Vec3b &background, cv::Mat &out)
{
    out.create(colour.size(), CV_8UC3);
    cv::parallel_for_(cv::Range(0, colour.rows), [&](const cv::Range &rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const auto *c = colour.ptr<cv::Vec3b>(y);
            const auto *a = alpha.ptr<uchar>(y);
            auto *o = out.ptr<cv::Vec3b>(y);
            for (int x = 0; x < colour.cols; ++x) {
                // Most of a cut-out is wholly kept or wholly taken away.
                const int opacity = a[x];
                if (opacity == 255) {
                    o[x] = c[x];
                } else if (opacity == 0) {
                    o[x] = background;
                } else {
                    for (int k = 0; k < 3; ++k)
                        o[x][k] = uchar((opacity * c[x][k] + (255 - opacity) * background[k] + 127) / 255);
                }
            }
        }
    });
}

} // namespace

namespace {

// Area resampling along one axis: each pixel made the average of the pixels it covers,
// those at its ends in part.
struct AreaTaps
{
    int most = 0;             // taps a pixel
    std::vector<int> index;   // `most` a pixel, within the source
    std::vector<float> weight; // the same; 0 past the pixel's end
    AreaTaps(int from, int to)
    {
        const double step = double(from) / to;
        most = int(std::ceil(step)) + 1;
        index.resize(std::size_t(to) * std::size_t(most));
        weight.resize(index.size());
        for (int o = 0; o < to; ++o) {
            const double begin = o * step, end = std::min<double>(from, (o + 1) * step);
            for (int k = 0; k < most; ++k) {
                const int at = int(begin) + k;
                const double covered = std::min(end, at + 1.0) - std::max(begin, double(at));
                index[std::size_t(o * most + k)] = std::min(at, from - 1);
                weight[std::size_t(o * most + k)] = covered > 0 ? float(covered / step) : 0.f;
            }
        }
    }
};

// The colour and alpha scaled down to `size` by area, weighted by alpha, so that colours
// under alpha 0 do not bleed into the edge. In one pass and on every core: OpenCV's area
// resize of the premultiplied subject took five times as long.
void scaleDown(const cv::Mat &colour, const cv::Mat &alpha, cv::Size size, cv::Mat &outColour, cv::Mat &outAlpha)
{
    const AreaTaps across(colour.cols, size.width), down(colour.rows, size.height);
    outColour.create(size, CV_8UC3);
    outAlpha.create(size, CV_8UC1);
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range &rows) {
        const std::size_t line = std::size_t(size.width) * 4;
        std::vector<float> sum(line);
        // Each source row scaled across once: the rows an output row takes, in turn, kept
        // for the next, which takes some of them again.
        std::vector<float> acrossRows(line * std::size_t(down.most));
        std::vector<int> held(std::size_t(down.most), -1);
        const auto scaledAcross = [&](int y) -> const float * {
            float *out = &acrossRows[line * std::size_t(y % down.most)];
            if (held[std::size_t(y % down.most)] == y)
                return out;
            held[std::size_t(y % down.most)] = y;
            const uchar *c = colour.ptr<uchar>(y), *a = alpha.ptr<uchar>(y);
            for (int ox = 0; ox < size.width; ++ox) {
                float b = 0, g = 0, r = 0, opacity = 0;
                for (int j = 0; j < across.most; ++j) {
                    const int x = across.index[std::size_t(ox * across.most + j)];
                    const float w = across.weight[std::size_t(ox * across.most + j)] * a[x];
                    b += w * c[3 * x];
                    g += w * c[3 * x + 1];
                    r += w * c[3 * x + 2];
                    opacity += w;
                }
                float *at = &out[std::size_t(ox) * 4];
                at[0] = b;
                at[1] = g;
                at[2] = r;
                at[3] = opacity;
            }
            return out;
        };
        for (int oy = rows.start; oy < rows.end; ++oy) {
            std::fill(sum.begin(), sum.end(), 0.f);
            for (int k = 0; k < down.most; ++k) {
                const float wy = down.weight[std::size_t(oy * down.most + k)];
                if (wy == 0)
                    continue;
                const float *row = scaledAcross(down.index[std::size_t(oy * down.most + k)]);
                for (std::size_t i = 0; i < line; ++i)
                    sum[i] += wy * row[i];
            }
            auto *bgr = outColour.ptr<cv::Vec3b>(oy);
            uchar *opacity = outAlpha.ptr<uchar>(oy);
            for (int ox = 0; ox < size.width; ++ox) {
                const float *total = &sum[std::size_t(ox) * 4];
                opacity[ox] = cv::saturate_cast<uchar>(total[3]);
                for (int ch = 0; ch < 3; ++ch)
                    bgr[ox][ch] = total[3] > 0 ? cv::saturate_cast<uchar>(total[ch] / total[3]) : uchar(0);
            }
        }
    });
}

// The subject alone, at the preset's share of a square canvas.
cv::Mat framed(const cv::Mat &colour, const cv::Mat &alpha, const OutputChoices &choices, bool *empty,
               const std::function<void(cv::Mat &)> &recolour)
{
    // The subject with its alpha, scaled, then recoloured and laid on the background: the
    // colours are converted on the pixels the file keeps, not the photo's.
    const cv::Rect box = subjectBox(alpha);
    if (empty)
        *empty = box.empty();
    if (box.empty())
        return {};
    const presets::Frame frame = presets::frameFor(choices.preset, std::max(box.width, box.height));
    cv::Mat subjectColour, subjectAlpha;
    if (frame.scale < 1) {
        const cv::Size size(std::max(1, std::min(frame.side, int(std::lround(box.width * frame.scale)))),
                            std::max(1, std::min(frame.side, int(std::lround(box.height * frame.scale)))));
        scaleDown(colour(box), alpha(box), size, subjectColour, subjectAlpha);
    } else {
        cv::Mat subject;
        const cv::Mat parts[] = {colour(box), alpha(box)};
        cv::merge(parts, 2, subject);
        if (frame.scale != 1) {
            const cv::Size size(std::max(1, std::min(frame.side, int(std::lround(subject.cols * frame.scale)))),
                                std::max(1, std::min(frame.side, int(std::lround(subject.rows * frame.scale)))));
            cv::cvtColor(subject, subject, cv::COLOR_RGBA2mRGBA);
            cv::Mat scaled;
            cv::resize(subject, scaled, size, 0, 0, cv::INTER_LANCZOS4);
            cv::cvtColor(scaled, subject, cv::COLOR_mRGBA2RGBA);
        }
        cv::Mat planes[4];
        cv::split(subject, planes);
        cv::merge(planes, 3, subjectColour);
        subjectAlpha = planes[3];
    }
    if (recolour)
        recolour(subjectColour);
    const bool opaque = choices.variantHasBackground();
    const quint32 background = choices.background;
    const cv::Vec3b backgroundPixel(background & 0xff, (background >> 8) & 0xff, (background >> 16) & 0xff);
    cv::Mat placed;
    if (opaque) {
        flatten(subjectColour, subjectAlpha, backgroundPixel, placed);
    } else {
        const cv::Mat parts[] = {subjectColour, subjectAlpha};
        cv::merge(parts, 2, placed);
    }
    cv::Mat canvas(frame.side, frame.side, placed.type(),
                   opaque ? cv::Scalar(backgroundPixel[0], backgroundPixel[1], backgroundPixel[2]) : cv::Scalar::all(0));
    placed.copyTo(canvas(cv::Rect((frame.side - placed.cols) / 2, (frame.side - placed.rows) / 2, placed.cols, placed.rows)));
    return canvas;
}

} // namespace

cv::Mat render(const cv::Mat &colour, const cv::Mat &alpha, const OutputChoices &choices, bool *empty,
               const std::function<void(cv::Mat &)> &recolour)
{
    CV_Assert(colour.type() == CV_8UC3 && alpha.type() == CV_8UC1 && colour.size() == alpha.size());
    if (choices.hasPreset())
        return framed(colour, alpha, choices, empty, recolour);
    const cv::Rect whole(0, 0, colour.cols, colour.rows);
    cv::Rect region = whole;
    bool nothing = false;
    if (choices.crop) {
        const cv::Rect box = subjectBox(alpha);
        nothing = box.empty();
        if (!nothing) {
            const int margin = int(std::lround(choices.margin / 100.0 * std::max(box.width, box.height)));
            region = cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin);
        }
    }
    if (empty)
        *empty = nothing;
    const cv::Size canvasSize = choices.canvas == OutputChoices::Canvas::Size
                                    ? cv::Size(choices.canvasWidth, choices.canvasHeight)
                                    : choices.canvas == OutputChoices::Canvas::Square
                                          ? cv::Size(std::max(region.width, region.height), std::max(region.width, region.height))
                                          : region.size();
    // A wide margin on a large photo could ask for more than any photo read.
    if (qint64(region.width) * region.height > maxCanvasPixels || qint64(canvasSize.width) * canvasSize.height > maxCanvasPixels)
        return {};

    const bool opaque = choices.variantHasBackground();
    const cv::Vec3b background((choices.background) & 0xff, (choices.background >> 8) & 0xff,
                               (choices.background >> 16) & 0xff);
    const cv::Scalar fill = opaque ? cv::Scalar(background[0], background[1], background[2]) : cv::Scalar::all(0);

    // The region's pixels; where a margin reaches past the photo, background or transparency.
    const cv::Rect inside = region & whole;
    cv::Mat picture(region.size(), opaque ? CV_8UC3 : CV_8UC4, fill);
    cv::Mat target = picture(cv::Rect(inside.x - region.x, inside.y - region.y, inside.width, inside.height));
    if (opaque) {
        cv::Mat flat;
        flatten(colour(inside), alpha(inside), background, flat);
        flat.copyTo(target);
    } else {
        const cv::Mat planes[] = {colour(inside), alpha(inside)};
        const int fromTo[] = {0, 0, 1, 1, 2, 2, 3, 3};
        cv::mixChannels(planes, 2, &target, 1, fromTo, 4);
    }
    if (choices.canvas == OutputChoices::Canvas::None)
        return picture;

    const double scale = choices.canvas == OutputChoices::Canvas::Square
                             ? 1
                             : std::min(double(canvasSize.width) / picture.cols, double(canvasSize.height) / picture.rows);
    cv::Mat placed = picture;
    if (scale != 1) {
        const cv::Size size(std::max(1, std::min(canvasSize.width, int(std::lround(picture.cols * scale)))),
                            std::max(1, std::min(canvasSize.height, int(std::lround(picture.rows * scale)))));
        // Scaled premultiplied, so that the colours under alpha 0 do not bleed into the edge.
        if (!opaque)
            cv::cvtColor(picture, picture, cv::COLOR_RGBA2mRGBA);
        cv::resize(picture, placed, size, 0, 0, scale < 1 ? cv::INTER_AREA : cv::INTER_LANCZOS4);
        if (!opaque)
            cv::cvtColor(placed, placed, cv::COLOR_mRGBA2RGBA);
    }
    cv::Mat canvas(canvasSize, picture.type(), fill);
    placed.copyTo(canvas(cv::Rect((canvasSize.width - placed.cols) / 2, (canvasSize.height - placed.rows) / 2,
                                  placed.cols, placed.rows)));
    return canvas;
}

} // namespace variant
