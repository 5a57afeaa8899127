#include "brush.h"

#include <algorithm>
#include <cmath>

namespace brush {

int weightAt(float distance, float radius)
{
    if (radius <= 0 || distance >= radius)
        return 0;
    const float inner = radius / 2;
    if (distance <= inner)
        return 255;
    const float t = (radius - distance) / (radius - inner); // 1 at the inner circle, 0 at the rim
    return int(std::lround(255 * t * t * (3 - 2 * t)));
}

Stroke::Stroke(cv::Mat &colour, cv::Mat &alpha, const cv::Mat &photo, Tool tool)
    : colour(colour)
    , alpha(alpha)
    , photo(photo)
    , tool(tool)
    , baseAlpha(alpha.clone())
    , strength(cv::Mat::zeros(alpha.size(), CV_8U))
{
    if (tool == Tool::Restore)
        baseColour = colour.clone();
}

cv::Rect Stroke::dab(cv::Point2f centre, float radius)
{
    const cv::Rect bounds(int(std::floor(centre.x - radius)), int(std::floor(centre.y - radius)),
                          int(std::ceil(2 * radius)) + 2, int(std::ceil(2 * radius)) + 2);
    const cv::Rect area = bounds & cv::Rect(0, 0, alpha.cols, alpha.rows);
    if (area.empty() || (tool == Tool::Restore && photo.size() != alpha.size()))
        return {};
    for (int y = area.y; y < area.br().y; ++y) {
        auto *strong = strength.ptr<uchar>(y);
        const auto *base = baseAlpha.ptr<uchar>(y);
        auto *out = alpha.ptr<uchar>(y);
        for (int x = area.x; x < area.br().x; ++x) {
            const int weight = weightAt(std::hypot(x - centre.x, y - centre.y), radius);
            if (weight <= strong[x])
                continue;
            strong[x] = uchar(weight);
            const int a = base[x];
            out[x] = uchar(tool == Tool::Erase ? (a * (255 - weight) + 127) / 255
                                               : a + ((255 - a) * weight + 127) / 255);
            if (tool == Tool::Restore)
                colour.at<cv::Vec3b>(y, x) = photo.at<cv::Vec3b>(y, x);
        }
    }
    touched |= area;
    return area;
}

cv::Rect Stroke::drag(cv::Point2f from, cv::Point2f to, float radius)
{
    const float length = float(cv::norm(to - from));
    const int steps = std::max(1, int(std::ceil(length / std::max(1.0f, radius / 4))));
    cv::Rect changed;
    for (int i = 0; i <= steps; ++i) {
        if (i == 0 && length > 0)
            continue; // the previous drag ended on it
        changed |= dab(from + (to - from) * (float(i) / steps), radius);
    }
    return changed;
}

Change Stroke::finish()
{
    Change change;
    change.area = touched;
    if (touched.empty())
        return change;
    change.alphaBefore = baseAlpha(touched).clone();
    change.alphaAfter = alpha(touched).clone();
    change.colourBefore = (baseColour.empty() ? colour : baseColour)(touched).clone();
    change.colourAfter = colour(touched).clone();
    return change;
}

void apply(const Change &change, cv::Mat &colour, cv::Mat &alpha, bool undo)
{
    if (change.empty())
        return;
    (undo ? change.alphaBefore : change.alphaAfter).copyTo(alpha(change.area));
    (undo ? change.colourBefore : change.colourAfter).copyTo(colour(change.area));
}

} // namespace brush
