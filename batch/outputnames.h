#pragma once

#include "outputchoices.h"
#include "targetformat.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QStringList>

// Every name the program gives its results, and how it tells its own files from photos: the
// proposals, the folder's naming, the master's, variant's and mask's names, the format a
// name asks for, the save dialog's filter and the folder scan.
namespace outputnames {

// The output that an input path proposes: a file beside a photo, a sibling folder of a folder.
QString proposedOutput(const QString &input, bool inputIsFile);
// A photo's result (its master): in single-file mode the output itself, otherwise
// "<output folder>/<photo's file name>-no-bg.png". Empty when the output is empty.
QString resultPath(const QString &source, const QString &output, bool singleFile);

// The variant's and the mask's paths beside a master; empty when the choices make none.
// Both carry "-no-bg", so that a folder scan knows them; they never equal each other.
QString variantPath(const QString &master, const OutputChoices &choices);
QString maskPath(const QString &master, const OutputChoices &choices);

// A name the program gives its own results (a master, a variant, a mask); a folder scan
// never takes one for a photo.
bool isOwnResult(const QString &fileName);
// Whether a folder scan sends a file of this suffix.
bool isPhotoSuffix(const QString &suffix);
// Whether a folder scan sends this file: a photo's suffix, and not one of the program's results.
bool isPhoto(const QFileInfo &file);

// What a result path's suffix makes of it: the format the compositor writes.
inline TargetFormat formatOf(const QString &resultPath)
{
    return targetFormatOf(resultPath);
}

// The save dialog's filter: every suffix of a format the composite is written in.
inline constexpr const char *saveDialogFilter = QT_TRANSLATE_NOOP("Widget", "Images (*.png *.tif *.tiff *.webp *.jpg *.jpeg)");

struct FolderScan
{
    QStringList photos;  // paths, in the order asked for
    int others = 0;      // files left out
    int ownResults = 0;  // of them, the program's own results
};
// The photos of a folder (not of its subfolders), in the order `sort` gives.
FolderScan photosIn(const QString &folder, QDir::SortFlags sort = QDir::NoSort);

} // namespace outputnames
