#include "presets.h"

#include "outputchoices.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>

static void initPresetsResource()
{
    // The resource lives in a static library: without a reference the linker drops it.
    Q_INIT_RESOURCE(presets);
}

namespace presets {

namespace {

// Larger than any real file of presets; a bound before reading it whole.
constexpr qint64 maxFileBytes = 1 << 20;

const QStringList &choiceKeys()
{
    static const QStringList keys{QStringLiteral("background"), QStringLiteral("format"), QStringLiteral("quality"),
                                  QStringLiteral("colour"),     QStringLiteral("png"),    QStringLiteral("edges")};
    return keys;
}

// A whole number of pixels, or a number of per cent or megabytes, or -1.
int pixels(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,6}$"));
    const int value = digits.match(text).hasMatch() ? text.toInt() : -1;
    return value >= 1 && value <= maxSide ? value : -1;
}

double positive(const QString &text, double most)
{
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,6}(\\.[0-9]{1,3})?$"));
    const double value = number.match(text).hasMatch() ? text.toDouble() : -1;
    return value > 0 && value <= most ? value : -1;
}

QString readFile(const QString &path, bool mustExist, QByteArray &text)
{
    QFile file(path);
    if (!file.exists() && !mustExist)
        return {};
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1, line 0: cannot be read: %2").arg(path, file.errorString());
    if (file.size() > maxFileBytes)
        return QStringLiteral("%1, line 0: larger than 1 MiB").arg(path);
    text = file.read(maxFileBytes + 1);
    return {};
}

} // namespace

QVector<Preset> parse(const QByteArray &text, const QString &fileName, QString *error)
{
    static const QRegularExpression section(QStringLiteral("^\\[\\s*([a-z0-9][a-z0-9_-]{0,31})\\s*\\]$"));
    QVector<Preset> read;
    QVector<int> starts;
    QStringList keysSeen;
    int number = 0;
    QString why;
    const auto refuse = [&](int line, const QString &reason) {
        if (error)
            *error = QStringLiteral("%1, line %2: %3").arg(fileName).arg(line).arg(reason);
        return QVector<Preset>();
    };
    // Each preset whole: its size within its bounds.
    const auto complete = [&]() -> QString {
        if (read.isEmpty())
            return {};
        const Preset &last = read.last();
        if (last.size == 0 || last.fill == 0)
            return QStringLiteral("[%1] needs a size and a fill").arg(last.name);
        if (last.minimum > last.size || (last.maximum > 0 && last.size > last.maximum))
            return QStringLiteral("[%1] has a size outside its minimum and maximum").arg(last.name);
        return {};
    };
    for (const QByteArray &rawLine : text.split('\n')) {
        ++number;
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            const QRegularExpressionMatch match = section.match(line.toLower());
            if (!match.hasMatch())
                return refuse(number, QStringLiteral("a preset's name is 1 to 32 letters, digits, - or _, in [ ]"));
            if (!(why = complete()).isEmpty())
                return refuse(starts.last(), why);
            const QString name = match.captured(1);
            for (const Preset &earlier : read)
                if (earlier.name == name)
                    return refuse(number, QStringLiteral("[%1] is given twice").arg(name));
            read.append(Preset{name, {}, 0, 0, 0, 0, 0});
            starts.append(number);
            keysSeen.clear();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return refuse(number, QStringLiteral("not a [name] nor a key = value"));
        const QString key = line.left(equals).trimmed().toLower();
        const QString value = line.mid(equals + 1).trimmed();
        if (read.isEmpty())
            return refuse(number, QStringLiteral("%1 comes before any [name]").arg(key));
        if (keysSeen.contains(key))
            return refuse(number, QStringLiteral("%1 is given twice").arg(key));
        keysSeen << key;
        Preset &preset = read.last();
        if (choiceKeys().contains(key)) {
            OutputChoices check;
            const QString refused = check.set(key, value);
            if (!refused.isEmpty())
                return refuse(number, refused.mid(2)); // without the option's dashes
            preset.options << QStringLiteral("--%1=%2").arg(key, value.toLower());
        } else if (key == QLatin1String("size") || key == QLatin1String("minimum") || key == QLatin1String("maximum")) {
            const int side = pixels(value);
            if (side < 0)
                return refuse(number, QStringLiteral("%1 gives \"%2\"; it must be a whole number of pixels from 1 to %3")
                                          .arg(key, value)
                                          .arg(maxSide));
            (key == QLatin1String("size") ? preset.size : key == QLatin1String("minimum") ? preset.minimum : preset.maximum) = side;
        } else if (key == QLatin1String("fill")) {
            preset.fill = positive(value, 100);
            if (preset.fill < 0)
                return refuse(number, QStringLiteral("fill gives \"%1\"; it must be a number of per cent over 0 and at most 100").arg(value));
        } else if (key == QLatin1String("file-size")) {
            preset.fileMegabytes = positive(value, 1e6);
            if (preset.fileMegabytes < 0)
                return refuse(number, QStringLiteral("file-size gives \"%1\"; it must be a number of megabytes over 0").arg(value));
        } else {
            return refuse(number, QStringLiteral("%1 is not a preset's key").arg(key));
        }
    }
    if (!(why = complete()).isEmpty())
        return refuse(starts.last(), why);
    if (error)
        error->clear();
    return read;
}

QByteArray text(const QVector<Preset> &presets)
{
    QByteArray out;
    for (const Preset &preset : presets) {
        out += "[" + preset.name.toUtf8() + "]\n";
        for (const QString &option : preset.options)
            out += option.mid(2).replace(QLatin1Char('='), QLatin1String(" = ")).toUtf8() + "\n";
        const auto put = [&](const char *key, double value) {
            if (value > 0)
                out += QByteArray(key) + " = " + QByteArray::number(value, 'g', 12) + "\n";
        };
        put("fill", preset.fill);
        put("size", preset.size);
        put("minimum", preset.minimum);
        put("maximum", preset.maximum);
        put("file-size", preset.fileMegabytes);
    }
    return out;
}

QString shippedFile()
{
    const QString installed = QStandardPaths::locate(QStandardPaths::GenericDataLocation, QStringLiteral("quorrin/presets.ini"));
    if (!installed.isEmpty())
        return installed;
    initPresetsResource();
    return QStringLiteral(":/quorrin/presets.ini");
}

QString userFile()
{
    // The program's config folder by its own name: options are read before the application
    // has one.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/quorrin/presets.ini");
}

QVector<Preset> all(QString *error)
{
    QString refused;
    QByteArray text;
    const QString shipped = shippedFile();
    refused = readFile(shipped, true, text);
    QVector<Preset> presets = refused.isEmpty() ? parse(text, shipped, &refused) : QVector<Preset>();
    const QString own = userFile();
    text.clear();
    if (refused.isEmpty())
        refused = readFile(own, false, text);
    const QVector<Preset> users = refused.isEmpty() ? parse(text, own, &refused) : QVector<Preset>();
    if (error)
        *error = refused;
    if (!refused.isEmpty())
        return {};
    for (const Preset &preset : users) {
        const auto same = std::find_if(presets.begin(), presets.end(), [&](const Preset &each) { return each.name == preset.name; });
        if (same != presets.end())
            *same = preset;
        else
            presets.append(preset);
    }
    return presets;
}

Preset find(const QString &name, QString *error)
{
    QString refused;
    const QVector<Preset> known = all(&refused);
    if (error)
        *error = refused;
    if (!refused.isEmpty())
        return {};
    QStringList names;
    for (const Preset &preset : known) {
        if (preset.name == name)
            return preset;
        names << preset.name;
    }
    if (error)
        *error = QStringLiteral("--preset gives \"%1\"; it must be one of %2 (from %3 and %4)")
                     .arg(name, names.join(QLatin1String(", ")), shippedFile(), userFile());
    return {};
}

Frame frameFor(const Preset &preset, int subjectSide)
{
    if (subjectSide <= 0 || preset.fill <= 0 || preset.size <= 0)
        return {};
    const double share = preset.fill / 100;
    Frame frame;
    if (preset.size * share <= subjectSide + 1e-9) {
        frame.side = preset.size;
        frame.scale = preset.size * share / subjectSide;
    } else {
        // Rounded down, so that the subject is at most its own size at the share asked for.
        frame.side = std::max(1, int(std::floor(subjectSide / share + 1e-9)));
        frame.scale = 1;
    }
    return frame;
}

} // namespace presets
