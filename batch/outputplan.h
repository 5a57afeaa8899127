#pragma once

#include "outputchoices.h"

#include <QString>

// What a batch does with each photo, from what is already on disk: send it, skip it, or
// make its files from what is there.
namespace outputplan {

// Whether a result's place holds a link or a special file: what is written there would land
// elsewhere, so nothing is.
bool isUnsafeTarget(const QString &result);
// Whether a result's place is the photo itself, however its path is spelled.
bool isThePhoto(const QString &result, const QString &source);
// Whether this is a PNG, or a result named as a JPEG, that does not end as it must: a result
// cut short, never complete, which a batch sets aside before it sends the photo again.
bool isCutShort(const QString &result);
// Renames such a result "<result>.damaged" (or ".damaged2", …), never through a link nor over
// a file already there; the new name, or empty when it could not be set aside.
QString setAside(const QString &result);

enum class Plan { Send, Skip, Finish, Derive };
// Skip when the result is complete and was made from the photo as it is now (by the record
// it carries; one made before results carried it, by being newer): an image with alpha at the
// photo's own upright size, a JPEG at that size for a JPEG name (for a CutoutOnly name, the
// service's cut-out itself). Finish when it is the service's cut-out, a PNG with alpha at
// another size (under a JPEG name, at any size), never composited.
// Send otherwise. A master touched up by hand is always complete. Reads headers, and
// decodes only a TIFF or WebP of the right size.
Plan planFor(const QString &source, const QString &result);
// As above, and Derive when the result is complete but a file the choices ask for beside it
// is missing or older than it, or its edges or hidden background are not as the choices say
// (a refined alpha stays refined): made from the result (and the photo), without an upload. A result
// that holds no alpha (a JPEG) cannot give them: Send.
Plan planFor(const QString &source, const QString &result, const OutputChoices &choices);

} // namespace outputplan
