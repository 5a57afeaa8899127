#pragma once

#include "scaleandmix.h"

#include <QString>

// Where each photo's result goes and what it holds: the one rule that the proposed names,
// the folder naming, the skip rule, the compositor's target and the save dialog share.
namespace outputplan {

// What a result path's suffix makes of it: the compositor's own rule.
using Format = ScaleAndMix::TargetFormat;
inline Format formatOf(const QString &resultPath)
{
    return ScaleAndMix::formatOf(resultPath);
}

// The save dialog's filter: every suffix of a format the composite is written in.
inline constexpr const char *saveDialogFilter = QT_TRANSLATE_NOOP("Widget", "Images (*.png *.tif *.tiff *.webp *.jpg *.jpeg)");

// The output that an input path proposes: a file beside a photo, a sibling folder of a folder.
QString proposedOutput(const QString &input, bool inputIsFile);
// A photo's result: in single-file mode the output itself, otherwise
// "<output folder>/<photo's file name>-no-bg.png". Empty when the output is empty.
QString resultPath(const QString &source, const QString &output, bool singleFile);

// A name the program gives its own results; a folder scan never takes one for a photo.
bool isOwnResult(const QString &fileName);
// Whether a result's place holds a link or a special file: what is written there would land
// elsewhere, so nothing is.
bool isUnsafeTarget(const QString &result);
// Whether this is a PNG, or a result named as a JPEG, that does not end as it must: a result
// cut short, never complete, which a batch sets aside before it sends the photo again.
bool isCutShort(const QString &result);
// Whether a folder scan sends a file of this suffix.
bool isPhotoSuffix(const QString &suffix);

enum class Plan { Send, Skip, Finish, Derive };
// Skip when the result is newer than the photo and complete: an image with alpha at the
// photo's own upright size, a JPEG at that size for a JPEG name (for a CutoutOnly name, the
// service's cut-out itself). Finish when it is the service's cut-out, a PNG with alpha at
// another size (under a JPEG name, at any size), never composited.
// Send otherwise. Reads headers, and decodes only a TIFF or WebP of the right size.
Plan planFor(const QString &source, const QString &result);
// As above, and Derive when the result is complete but a file the choices ask for beside it
// is missing or older than it, or its edges are cleaned and the choices say otherwise (or
// the other way round): made from the result (and the photo), without an upload. A result
// that holds no alpha (a JPEG) cannot give them: Send.
Plan planFor(const QString &source, const QString &result, const OutputChoices &choices);

} // namespace outputplan
