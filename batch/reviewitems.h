#pragma once

#include <cstdint>

#include "outputchoices.h"

#include <QString>
#include <QVector>

#include <opencv2/core.hpp>

// What the review shows: each photo of an input with the files its batch writes for it, and
// what about each result wants a person's look.
namespace reviewitems {

struct Item
{
    QString source;
    QString master;  // the full-size result, as the batch names it
    QString variant; // the file made beside it for the output choices; empty when none
    QString mask;
};

// The photos of `input` (a photo or a folder, by the batch's rules and in its order), with
// their results under `output` (empty: where the window proposes).
QVector<Item> list(const QString &input, const QString &output, const OutputChoices &choices);

enum class Mark {
    Fine,
    NoResult,     // nothing there yet: never sent, failed, or sent again
    NotAMaster,   // cut short, another program's image, not an image, too large
    NotFullSize,  // the service's cut-out, never made full size
    NoSubject,    // nothing kept
    MostlyClear,  // almost all of it transparent
    MostlyOpaque, // almost nothing taken away
};
// The mark of a master from its alpha plane; or from its counts of pixels of alpha above 10
// and below 245, as the picture it carries gives them.
Mark markOf(const cv::Mat &alpha);
Mark markOf(std::uint64_t kept, std::uint64_t belowOpaque, std::uint64_t pixels);
bool wantsALook(Mark mark);
// The mark in words, for a tile.
QString describe(Mark mark);

// Where the thumbnail of `master` is kept in `cacheFolder`: a name that changes whenever the
// file's path, size or time does, or the thumbnail's size. Empty when the file is gone.
QString thumbnailPath(const QString &cacheFolder, const QString &master, int side);

} // namespace reviewitems
