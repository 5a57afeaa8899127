#pragma once

#include "bilingualtext.h"

#include <QByteArray>
#include <QString>

// The service's cut-out on disk, as it came.
namespace cutoutfile {

// Writes the cut-out whole at `result`, never over the photo `source` or through a link;
// empty when written, otherwise the line that says why not.
BilingualText save(const QByteArray &cutout, const QString &result, const QString &source);
// Whether a cut-out is a PNG whose every pixel is transparent: the service found no subject.
bool showsNothing(const QByteArray &cutout);

} // namespace cutoutfile
