#pragma once

#include <opencv2/core.hpp>

// The review's touch-up brush on a master's colour and alpha: a round dab with a soft edge.
// A stroke takes, at each pixel, the strongest dab that passed over it, so that dabs laid
// close together along the pointer's path do not compound into a harder line.
namespace brush {

enum class Tool { Erase, Restore };

// How strongly a dab of `radius` acts at `distance` from its centre, 0 to 255: fully over
// the inner half, easing to nothing at the rim.
int weightAt(float distance, float radius);

// What one stroke changed, to undo it and to do it again.
struct Change
{
    cv::Rect area;
    cv::Mat alphaBefore, colourBefore, alphaAfter, colourAfter;
    bool empty() const { return area.empty(); }
};

class Stroke
{
public:
    // Erase makes the master transparent; restore gives back the photo's own pixels and
    // opacity, so `photo` (8-bit BGR at the master's size) is needed for it alone.
    Stroke(cv::Mat &colour, cv::Mat &alpha, const cv::Mat &photo, Tool tool);

    // Dabs from `from` to `to`, a quarter of the radius apart; the area they changed.
    cv::Rect drag(cv::Point2f from, cv::Point2f to, float radius);
    // The whole change, with what was there before; the stroke is over.
    Change finish();

private:
    cv::Rect dab(cv::Point2f centre, float radius);

    cv::Mat &colour;
    cv::Mat &alpha;
    cv::Mat photo;
    Tool tool;
    cv::Mat baseAlpha;  // the alpha before the stroke
    cv::Mat baseColour; // the colour before it, for restore, which changes colour
    cv::Mat strength;   // the strongest dab so far at each pixel
    cv::Rect touched;
};

// Puts a change's before (undo) or after (redo) back into the master.
void apply(const Change &change, cv::Mat &colour, cv::Mat &alpha, bool undo);

} // namespace brush
