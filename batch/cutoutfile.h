#pragma once

#include "bilingualtext.h"

#include <QByteArray>
#include <QString>

// The service's cut-out on disk, as it came.
namespace cutoutfile {

// Writes the cut-out whole at `result`, never over the photo `source` or through a link,
// with `record` (what the photo was when it was sent) in a PNG's text chunk; empty when
// written, otherwise the line that says why not.
BilingualText save(const QByteArray &cutout, const QString &result, const QString &source, const QByteArray &record = {});
// Whether a cut-out is a PNG whose every pixel is transparent: the service found no subject.
bool showsNothing(const QByteArray &cutout);

} // namespace cutoutfile
