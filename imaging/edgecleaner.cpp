#include "edgecleaner.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace edgecleaner {
namespace {

// Each tile holding soft alpha is solved with a border of its surroundings, so that the pixels
// at its sides are solved with neighbours all round, as they would be in one piece.
constexpr int kTile = 64;
constexpr int kPad = 12;
// The full-resolution passes also cover this much of the padding, so that a tile's outer
// pixels lean on neighbours that were solved as well.
constexpr int kMargin = 3;
// Neighbours pull a pixel's colours towards theirs a little, and more across a change of
// alpha, where the photo alone cannot tell subject from background.
constexpr float kBase = 5e-3f;
constexpr float kAcross = 0.1f;
// The background behind an edge is mostly out of focus, so it is held much smoother than the
// subject: without that, a thin strand's colour could as well be explained by a background
// bent towards it.
constexpr float kSteadyBackground = 10;
// Passes of the solve at each level: many on the few pixels of the coarsest levels, where
// colours travel far, few on the larger ones, which start from a good guess.
constexpr size_t kSmallLevel = 256;
constexpr int kSmallPasses = 8, kLargePasses = 1, kFinalPasses = 2;

// One in-place pass over `area`: each pixel's subject and background colours are the least
// squares answer to "close to the neighbours' colours" and "alpha*F + (1-alpha)*B is the photo".
// Colours are four floats a pixel, the fourth unused, so that one pixel is one vector. The pass
// takes the pixels in checkerboard order, so that no pixel waits on the one just before it.
// With `known`, which is for full size, only soft pixels change, and a clear or opaque
// neighbour lends only the colour it shows: its other colour is no more than a guess.
void relax(const cv::Mat &image, const cv::Mat &alpha, cv::Mat &fg, cv::Mat &bg, cv::Rect area, bool known)
{
    const int w = image.cols, h = image.rows;
    const cv::v_float32x4 lowest = cv::v_setzero_f32(), highest = cv::v_setall_f32(255);
    for (int parity = 0; parity < 2; ++parity)
        for (int y = area.y; y < area.y + area.height; ++y) {
            const int up = std::max(y - 1, 0), down = std::min(y + 1, h - 1);
            const float *a = alpha.ptr<float>(y), *aUp = alpha.ptr<float>(up), *aDown = alpha.ptr<float>(down);
            const float *im = image.ptr<float>(y);
            float *f = fg.ptr<float>(y), *b = bg.ptr<float>(y);
            const float *fUp = fg.ptr<float>(up), *fDown = fg.ptr<float>(down);
            const float *bUp = bg.ptr<float>(up), *bDown = bg.ptr<float>(down);
            for (int x = area.x + ((area.x + y + parity) & 1); x < area.x + area.width; x += 2) {
                const float a0 = a[x], a1 = 1 - a0;
                if (known && !(a0 > 0 && a1 > 0))
                    continue;
                const cv::v_float32x4 photo = cv::v_load(im + 4 * x);
                cv::v_float32x4 rf = cv::v_setall_f32(a0) * photo, rb = cv::v_setall_f32(a1) * photo;
                float wf = 0, wb = 0;
                const auto add = [&](const float *fn, const float *bn, float an) {
                    const float wn = kBase + kAcross * std::abs(a0 - an);
                    const float wnf = known && an == 0 ? 0 : wn, wnb = known && an == 1 ? 0 : kSteadyBackground * wn;
                    wf += wnf;
                    wb += wnb;
                    rf = cv::v_fma(cv::v_setall_f32(wnf), cv::v_load(fn), rf);
                    rb = cv::v_fma(cv::v_setall_f32(wnb), cv::v_load(bn), rb);
                };
                if (x > 0)
                    add(f + 4 * (x - 1), b + 4 * (x - 1), a[x - 1]);
                if (x + 1 < w)
                    add(f + 4 * (x + 1), b + 4 * (x + 1), a[x + 1]);
                if (y > 0)
                    add(fUp + 4 * x, bUp + 4 * x, aUp[x]);
                if (y + 1 < h)
                    add(fDown + 4 * x, bDown + 4 * x, aDown[x]);
                // [a0² + Wf, a0·a1; a0·a1, a1² + Wb], its determinant written out to avoid cancelling.
                const float determinant = a0 * a0 * wb + a1 * a1 * wf + wf * wb;
                if (determinant <= 0) // a lone pixel: nothing to go on
                    continue;
                const float inverse = 1 / determinant;
                const cv::v_float32x4 m00 = cv::v_setall_f32((a0 * a0 + wf) * inverse);
                const cv::v_float32x4 m11 = cv::v_setall_f32((a1 * a1 + wb) * inverse);
                const cv::v_float32x4 m01 = cv::v_setall_f32(a0 * a1 * inverse);
                cv::v_store(f + 4 * x, cv::v_min(cv::v_max(m11 * rf - m01 * rb, lowest), highest));
                cv::v_store(b + 4 * x, cv::v_min(cv::v_max(m00 * rb - m01 * rf, lowest), highest));
            }
        }
}

// A pixel that is neither clear nor opaque.
inline bool soft(uchar a) { return uchar(a - 1) < 254; }

// Whether any of a row's bytes is soft, eight at a time: a byte is 0 or 255 exactly when each of
// its bits equals the next.
bool anySoft(const uchar *row, int count)
{
    int x = 0;
    for (; x + 8 <= count; x += 8) {
        uint64_t word;
        std::memcpy(&word, row + x, 8);
        if ((word ^ (word << 1)) & 0xfefefefefefefefeull)
            return true;
    }
    for (; x < count; ++x)
        if (soft(row[x]))
            return true;
    return false;
}

// Half the size, each pixel the mean of the two by two it covers (an odd last one counts twice).
cv::Mat halve(const cv::Mat &src)
{
    const int n = src.channels();
    cv::Mat dst((src.rows + 1) / 2, (src.cols + 1) / 2, src.type());
    for (int y = 0; y < dst.rows; ++y) {
        const float *r0 = src.ptr<float>(2 * y), *r1 = src.ptr<float>(std::min(2 * y + 1, src.rows - 1));
        float *d = dst.ptr<float>(y);
        for (int x = 0; x < dst.cols; ++x) {
            const int x0 = 2 * x * n, x1 = std::min(2 * x + 1, src.cols - 1) * n;
            for (int c = 0; c < n; ++c)
                d[x * n + c] = 0.25f * (r0[x0 + c] + r0[x1 + c] + r1[x0 + c] + r1[x1 + c]);
        }
    }
    return dst;
}

// Twice the size (cut to `size`), each pixel repeated: the next level's starting guess.
cv::Mat doubled(const cv::Mat &src, cv::Size size)
{
    cv::Mat dst(size, src.type());
    for (int y = 0; y < size.height; ++y) {
        const float *s = src.ptr<float>(y / 2);
        float *d = dst.ptr<float>(y);
        for (int x = 0; x < size.width; ++x)
            cv::v_store(d + 4 * x, cv::v_load(s + 4 * (x / 2)));
    }
    return dst;
}

// Solves one tile coarse to fine; gives the tile's colours with its soft pixels replaced.
cv::Mat solveTile(const cv::Mat &colour, const cv::Mat &alpha, const cv::Mat &alphaLut, cv::Rect core)
{
    const cv::Rect padded = cv::Rect(core.x - kPad, core.y - kPad, core.width + 2 * kPad, core.height + 2 * kPad)
                            & cv::Rect(0, 0, colour.cols, colour.rows);
    std::vector<cv::Mat> images(1), alphas(1);
    cv::Mat wide;
    cv::cvtColor(colour(padded), wide, cv::COLOR_BGR2BGRA);
    wide.convertTo(images[0], CV_32FC4);
    cv::LUT(alpha(padded), alphaLut, alphas[0]);
    while (images.back().cols > 1 || images.back().rows > 1) {
        images.push_back(halve(images.back()));
        alphas.push_back(halve(alphas.back()));
    }
    cv::Mat fg = images.back().clone(), bg = fg.clone();
    for (size_t level = images.size() - 1; level > 0; --level) {
        fg = doubled(fg, images[level].size());
        bg = doubled(bg, images[level].size());
        const int passes = images[level].total() <= kSmallLevel ? kSmallPasses : kLargePasses;
        for (int i = 0; i < passes; ++i)
            relax(images[level], alphas[level], fg, bg, cv::Rect({}, images[level].size()), false);
    }
    fg = doubled(fg, padded.size());
    bg = doubled(bg, padded.size());

    // At full size, opaque pixels are the subject's colour and clear ones the background's.
    const cv::Mat &image = images[0];
    for (int y = 0; y < padded.height; ++y) {
        const uchar *a = alpha.ptr<uchar>(padded.y + y) + padded.x;
        const float *im = image.ptr<float>(y);
        float *f = fg.ptr<float>(y), *b = bg.ptr<float>(y);
        for (int x = 0; x < padded.width; ++x)
            if (a[x] == 255 || a[x] == 0)
                cv::v_store((a[x] ? f : b) + 4 * x, cv::v_load(im + 4 * x));
    }
    const cv::Rect inner = core - padded.tl();
    const cv::Rect reach = cv::Rect(inner.x - kMargin, inner.y - kMargin, inner.width + 2 * kMargin,
                                    inner.height + 2 * kMargin) & cv::Rect({}, padded.size());
    for (int i = 0; i < kFinalPasses; ++i)
        relax(image, alphas[0], fg, bg, reach, true);

    cv::Mat out = colour(core).clone();
    for (int y = 0; y < core.height; ++y) {
        const uchar *a = alpha.ptr<uchar>(core.y + y) + core.x;
        const float *f = fg.ptr<float>(inner.y + y) + 4 * inner.x;
        uchar *o = out.ptr<uchar>(y);
        for (int x = 0; x < core.width; ++x)
            if (soft(a[x]))
                for (int c = 0; c < 3; ++c)
                    o[3 * x + c] = cv::saturate_cast<uchar>(f[4 * x + c]);
    }
    return out;
}

} // namespace

void clean(cv::Mat &colour, const cv::Mat &alpha, int threads)
{
    if (colour.empty() || colour.type() != CV_8UC3 || alpha.type() != CV_8UC1 || colour.size() != alpha.size())
        return;
    // Tiles with any soft alpha; a tile that is all clear or all opaque has nothing to solve.
    const int across = (alpha.cols + kTile - 1) / kTile, down = (alpha.rows + kTile - 1) / kTile;
    std::vector<char> marked(size_t(across) * size_t(down), 0);
    for (int y = 0; y < alpha.rows; ++y) {
        char *marks = marked.data() + size_t(y / kTile) * size_t(across);
        for (int t = 0; t < across; ++t)
            if (!marks[t])
                marks[t] = anySoft(alpha.ptr<uchar>(y) + t * kTile, std::min(kTile, alpha.cols - t * kTile));
    }
    std::vector<cv::Rect> tiles;
    for (size_t t = 0; t < marked.size(); ++t)
        if (marked[t])
            tiles.push_back(cv::Rect(int(t % size_t(across)) * kTile, int(t / size_t(across)) * kTile, kTile, kTile)
                            & cv::Rect(0, 0, alpha.cols, alpha.rows));
    if (tiles.empty())
        return;

    cv::Mat alphaLut(1, 256, CV_32F);
    for (int i = 0; i < 256; ++i)
        alphaLut.at<float>(i) = float(i) / 255.f; // exactly 0 and 1 at the ends
    // Every tile reads the photo as it was, so the results wait until all tiles are solved.
    std::vector<cv::Mat> results(tiles.size());
    std::atomic<size_t> next{0};
    // A throw in a helper would end the process: the first is kept, and thrown once all are joined.
    std::exception_ptr failure;
    std::mutex failureLock;
    const auto work = [&] {
        try {
            for (size_t t; (t = next++) < tiles.size();)
                results[t] = solveTile(colour, alpha, alphaLut, tiles[t]);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(failureLock);
            failure = failure ? failure : std::current_exception();
            next = tiles.size();
        }
    };
    const int wanted = threads > 0 ? threads : int(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> helpers;
    try {
        for (int i = 1; i < std::min(wanted, int(tiles.size())); ++i)
            helpers.emplace_back(work);
    } catch (const std::system_error &) {
        // Fewer threads, the same result.
    }
    work();
    for (std::thread &helper : helpers)
        helper.join();
    if (failure)
        std::rethrow_exception(failure);
    for (size_t t = 0; t < tiles.size(); ++t)
        results[t].copyTo(colour(tiles[t]));
}

} // namespace edgecleaner
