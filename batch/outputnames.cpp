#include "outputnames.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace outputnames {

namespace {

const QString suffix = QStringLiteral("-no-bg");

// The master's name without ".png", ending in "-no-bg" (or "-no-bg-small") so that every
// file made beside it is known as the program's own. Another suffix stays in the name, so
// that "shop.png" and "shop.webp" give files of their own.
QString besideBase(const QString &master)
{
    const QFileInfo info(master);
    QString base = info.suffix().compare(QLatin1String("png"), Qt::CaseInsensitive) == 0
                       ? info.path() + QLatin1Char('/') + info.completeBaseName()
                       : info.filePath();
    if (!base.endsWith(suffix, Qt::CaseInsensitive) && !base.endsWith(suffix + QLatin1String("-small"), Qt::CaseInsensitive))
        base += suffix;
    return base;
}

bool isBesideName(const QString &fileName)
{
    static const QRegularExpression name(
        QStringLiteral("-no-bg(-small)?((\\.(bg-[0-9a-z]+|crop[0-9.]+|square|[0-9]+x[0-9]+|q[0-9]+|for-[0-9a-z_-]+|srgb))+\\.(png|jpg|webp)"
                       "|(\\.q[0-9]+)?\\.webp|\\.mask\\.png)$"),
        QRegularExpression::CaseInsensitiveOption);
    return name.match(fileName).hasMatch();
}

} // namespace

QString proposedOutput(const QString &input, bool inputIsFile)
{
    return input + suffix + (inputIsFile ? QStringLiteral("-small.png") : QStringLiteral("-small"));
}

QString resultPath(const QString &source, const QString &output, bool singleFile)
{
    if (output.isEmpty())
        return {};
    return singleFile ? output : QStringLiteral("%1/%2%3.png").arg(output, QFileInfo(source).fileName(), suffix);
}

QString variantPath(const QString &master, const OutputChoices &choices)
{
    if (!choices.makesVariant() || master.isEmpty())
        return {};
    QString path = besideBase(master);
    if (choices.hasPreset()) {
        // The preset's own background is in its name; a changed one is said.
        path += QStringLiteral(".for-") + choices.preset.name;
        if (choices.variantHasBackground() && choices.background != 0xffffff)
            path += QStringLiteral(".bg-") + OutputChoices::colourName(choices.background).remove(QLatin1Char('#'));
        if (choices.format != OutputChoices::Format::Png && choices.quality != 90)
            path += QStringLiteral(".q%1").arg(choices.quality);
        return path + QLatin1Char('.') + OutputChoices::formatName(choices.format);
    }
    if (choices.variantHasBackground())
        path += QStringLiteral(".bg-") + OutputChoices::colourName(choices.background).remove(QLatin1Char('#'));
    if (choices.crop)
        path += QStringLiteral(".crop%1").arg(choices.margin);
    if (choices.canvas == OutputChoices::Canvas::Square)
        path += QStringLiteral(".square");
    else if (choices.canvas == OutputChoices::Canvas::Size)
        path += QStringLiteral(".%1x%2").arg(choices.canvasWidth).arg(choices.canvasHeight);
    if (choices.format != OutputChoices::Format::Png && choices.quality != 90)
        path += QStringLiteral(".q%1").arg(choices.quality);
    if (choices.colour == OutputChoices::Colour::Srgb)
        path += QStringLiteral(".srgb");
    return path + QLatin1Char('.') + OutputChoices::formatName(choices.format);
}

QString maskPath(const QString &master, const OutputChoices &choices)
{
    return choices.mask && !master.isEmpty() ? besideBase(master) + QStringLiteral(".mask.png") : QString();
}

bool isOwnResult(const QString &fileName)
{
    return fileName.endsWith(suffix + QLatin1String(".png"), Qt::CaseInsensitive)
           || fileName.endsWith(suffix + QLatin1String("-small.png"), Qt::CaseInsensitive) || isBesideName(fileName);
}

bool isPhotoSuffix(const QString &fileSuffix)
{
    for (const char *known : {"png", "jpg", "jpeg", "heic", "heif", "avif"})
        if (fileSuffix.compare(QLatin1String(known), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

bool isPhoto(const QFileInfo &file)
{
    return isPhotoSuffix(file.suffix()) && !isOwnResult(file.fileName());
}

FolderScan photosIn(const QString &folder, QDir::SortFlags sort)
{
    FolderScan scan;
    const auto entries = QDir(folder).entryInfoList(QDir::Files | QDir::CaseSensitive, sort);
    for (const QFileInfo &entry : entries) {
        if (isOwnResult(entry.fileName()))
            ++scan.ownResults;
        else if (isPhotoSuffix(entry.suffix()))
            scan.photos << entry.filePath();
    }
    scan.others = entries.size() - scan.photos.size();
    return scan;
}

} // namespace outputnames
