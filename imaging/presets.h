#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// A marketplace's rules for a listing's main image, as a set of output choices and the sizes
// and shares each result is checked against once it is written.
struct Preset
{
    QString name; // empty: no preset
    QStringList options; // "--background=white", ... as OutputChoices::set() reads them
    int size = 0;    // the canvas side where the photo has the pixels for it
    int minimum = 0; // 0: no bound
    int maximum = 0;
    double fill = 0; // the subject's longer side, per cent of the canvas side
    double fileMegabytes = 0; // 0: no bound

    bool operator==(const Preset &other) const
    {
        return name == other.name && options == other.options && size == other.size && minimum == other.minimum
               && maximum == other.maximum && fill == other.fill && fileMegabytes == other.fileMegabytes;
    }
    qint64 maxFileBytes() const { return qint64(fileMegabytes * 1e6); }
};

namespace presets {

// The largest canvas side a preset may ask for: its square stays within the 250 megapixels
// of the largest photo read.
constexpr int maxSide = 15000;

// Reads a presets file; on the first thing refused, returns none and sets `error` to one line
// naming `fileName` and the line.
QVector<Preset> parse(const QByteArray &text, const QString &fileName, QString *error);
// The presets as a file that parse() reads back to the same.
QByteArray text(const QVector<Preset> &presets);

// The installed data file, or the one compiled in when the program is not installed.
QString shippedFile();
// presets.ini in the user's config folder (~/.config/quorrin); it need not exist.
QString userFile();
// The shipped presets, each replaced by the user's of its name, the user's new ones after;
// none, with `error` set, when either file cannot be read.
QVector<Preset> all(QString *error);
// The preset of that name from all(); one with an empty name and `error` set when there is none.
Preset find(const QString &name, QString *error);

// Where a subject whose longer side is `subjectSide` pixels goes: the canvas side, and the
// scale of the subject on it. The preset's size when the photo has the pixels for it;
// otherwise the largest side at which the subject is not scaled up.
struct Frame
{
    int side = 0;
    double scale = 1;
};
Frame frameFor(const Preset &preset, int subjectSide);

} // namespace presets
