#pragma once

#include <QString>

// The format a result is encoded in, by its path's suffix: what the compositor writes when it
// is given only a path.
enum class TargetFormat {
    Png,
    Tiff,
    Webp,
    Jpeg,       // laid on the background in force, white by default
    CutoutOnly, // any other suffix: no format of this kind holds transparency
};

TargetFormat targetFormatOf(const QString &path);
