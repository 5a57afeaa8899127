#include "targetformat.h"

#include <QFileInfo>

TargetFormat targetFormatOf(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("png"))
        return TargetFormat::Png;
    if (suffix == QLatin1String("tif") || suffix == QLatin1String("tiff"))
        return TargetFormat::Tiff;
    if (suffix == QLatin1String("webp"))
        return TargetFormat::Webp;
    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg"))
        return TargetFormat::Jpeg;
    return TargetFormat::CutoutOnly;
}
