#pragma once

#include "outputchoices.h"

#include <QMetaType>
#include <QString>
#include <QVector>

// One rule of a preset, as a result written on disk meets it or not.
struct PresetCheck
{
    QString rule;   // "format", "size", "background", "fill", "colour", "file-size", "subject"
    bool ok = false;
    QString detail; // in the user's language
    QString detailOriginal; // in the sources' language, as the JSON report keeps it
};

namespace presetcheck {

// The file at `path` against the rules of the choices' preset, read back from disk as a
// shop would read it: its format, its size, its background's border, the subject's share of
// the frame, its colour space (unknown when `colourKnown` is false: the photo's profile could
// not be used) and its file size. None without a preset. For the review window too.
QVector<PresetCheck> check(const QString &path, const OutputChoices &choices, bool colourKnown = true);
// The same, of the very bytes that are then written: checked while the master is still being
// written.
QVector<PresetCheck> check(const QByteArray &bytes, const OutputChoices &choices, bool colourKnown = true);
// The one check of a photo whose cut-out holds no subject: nothing is framed.
QVector<PresetCheck> noSubject();
bool fallsShort(const QVector<PresetCheck> &checks);
// The failed checks' details in one text, in the user's language or the sources'.
QString shortfall(const QVector<PresetCheck> &checks, bool original = false);

} // namespace presetcheck

Q_DECLARE_METATYPE(PresetCheck)
