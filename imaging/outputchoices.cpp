#include "outputchoices.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

QString OutputChoices::colourName(quint32 colour)
{
    if (colour == 0xffffff)
        return QStringLiteral("white");
    if (colour == 0)
        return QStringLiteral("black");
    return QStringLiteral("#%1").arg(colour, 6, 16, QLatin1Char('0'));
}

QString OutputChoices::formatName(Format format)
{
    switch (format) {
    case Format::Jpeg:
        return QStringLiteral("jpg");
    case Format::Webp:
        return QStringLiteral("webp");
    case Format::Png:
        break;
    }
    return QStringLiteral("png");
}

namespace {

QString refusal(const QString &option, const QString &value, const char *must)
{
    return QStringLiteral("--%1 gives \"%2\"; %3").arg(option, value, QLatin1String(must));
}

} // namespace

QStringList OutputChoices::optionNames()
{
    // A preset first, so that the options after it change what it chose.
    return {QStringLiteral("preset"), QStringLiteral("background"), QStringLiteral("format"), QStringLiteral("quality"),
            QStringLiteral("crop"),   QStringLiteral("canvas"),     QStringLiteral("mask"),   QStringLiteral("png"),
            QStringLiteral("edges"),  QStringLiteral("hidden"),     QStringLiteral("colour")};
}

QString OutputChoices::set(const QString &option, const QString &value)
{
    const QString text = value.trimmed().toLower();
    if (option == QLatin1String("preset")) {
        QString refused;
        const Preset found = presets::find(text, &refused);
        if (!refused.isEmpty())
            return refused;
        OutputChoices chosen;
        chosen.setArguments(found.options);
        chosen.preset = found;
        chosen.mask = mask;
        *this = chosen;
    } else if (option == QLatin1String("colour")) {
        if (text == QLatin1String("keep"))
            colour = Colour::Keep;
        else if (text == QLatin1String("srgb"))
            colour = Colour::Srgb;
        else
            return refusal(option, value, "it must be srgb or keep");
    } else if (option == QLatin1String("background")) {
        static const QRegularExpression hex(QStringLiteral("^#[0-9a-f]{6}$"));
        if (text == QLatin1String("white"))
            background = 0xffffff;
        else if (text == QLatin1String("black"))
            background = 0;
        else if (hex.match(text).hasMatch())
            background = text.midRef(1).toUInt(nullptr, 16);
        else
            return refusal(option, value, "it must be white, black or #rrggbb");
        hasBackground = true;
    } else if (option == QLatin1String("format")) {
        if (text == QLatin1String("png"))
            format = Format::Png;
        else if (text == QLatin1String("jpg") || text == QLatin1String("jpeg"))
            format = Format::Jpeg;
        else if (text == QLatin1String("webp"))
            format = Format::Webp;
        else
            return refusal(option, value, "it must be png, jpg or webp");
    } else if (option == QLatin1String("quality")) {
        bool isNumber = false;
        const int number = text.toInt(&isNumber);
        if (!isNumber || number < 1 || number > 100)
            return refusal(option, value, "it must be a whole number from 1 to 100");
        quality = number;
    } else if (option == QLatin1String("crop")) {
        bool isNumber = text.isEmpty();
        const double number = isNumber ? 3.0 : text.toDouble(&isNumber);
        if (!isNumber || !(number >= 0 && number <= 100))
            return refusal(option, value, "the margin must be a number of per cent from 0 to 100");
        crop = true;
        margin = std::round(number * 10) / 10 + 0.0; // a tenth of a per cent at most; never "-0"
    } else if (option == QLatin1String("canvas")) {
        static const QRegularExpression size(QStringLiteral("^([0-9]{1,6})x([0-9]{1,6})$"));
        const QRegularExpressionMatch match = size.match(text);
        if (text == QLatin1String("square")) {
            canvas = Canvas::Square;
        } else if (match.hasMatch() && match.captured(1).toInt() > 0 && match.captured(2).toInt() > 0
                   && qint64(match.captured(1).toInt()) * match.captured(2).toInt() <= maxCanvasPixels) {
            canvas = Canvas::Size;
            canvasWidth = match.captured(1).toInt();
            canvasHeight = match.captured(2).toInt();
        } else {
            return refusal(option, value, "it must be square or WIDTHxHEIGHT, at most 250 megapixels");
        }
    } else if (option == QLatin1String("mask")) {
        mask = true;
    } else if (option == QLatin1String("png")) {
        if (text == QLatin1String("fast"))
            png = Compression::Fast;
        else if (text == QLatin1String("small"))
            png = Compression::Small;
        else
            return refusal(option, value, "it must be fast or small");
    } else if (option == QLatin1String("edges")) {
        if (text == QLatin1String("source"))
            edges = Edges::Source;
        else if (text == QLatin1String("clean"))
            edges = Edges::Clean;
        else if (text == QLatin1String("refine"))
            edges = Edges::Refine;
        else
            return refusal(option, value, "it must be source, clean or refine");
    } else if (option == QLatin1String("hidden")) {
        if (text == QLatin1String("clear"))
            hidden = Hidden::Clear;
        else if (text == QLatin1String("keep"))
            hidden = Hidden::Keep;
        else
            return refusal(option, value, "it must be clear or keep");
    } else {
        return QStringLiteral("--%1 is not an output choice").arg(option);
    }
    return {};
}

QStringList OutputChoices::arguments() const
{
    if (!hasPreset())
        return ownArguments();
    // The preset's name, then what differs from its own choices.
    OutputChoices own;
    own.setArguments(preset.options);
    const QStringList presetChose = own.ownArguments();
    QStringList list{QStringLiteral("--preset=") + preset.name};
    const QStringList mine = ownArguments();
    for (const QString &argument : mine)
        if (!presetChose.contains(argument))
            list << argument;
    // A choice of the preset's set back to the default has no argument of its own: it is said.
    static const QStringList defaults{QStringLiteral("--format=png"), QStringLiteral("--quality=90"),
                                      QStringLiteral("--colour=keep"), QStringLiteral("--png=fast"),
                                      QStringLiteral("--edges=source"), QStringLiteral("--hidden=clear")};
    for (const QString &chose : presetChose) {
        const QString key = chose.section(QLatin1Char('='), 0, 0) + QLatin1Char('=');
        const auto same = [&](const QString &argument) { return argument.startsWith(key); };
        const auto fallback = std::find_if(defaults.begin(), defaults.end(), same);
        if (std::none_of(mine.begin(), mine.end(), same) && fallback != defaults.end())
            list << *fallback;
    }
    return list;
}

QStringList OutputChoices::ownArguments() const
{
    QStringList list;
    if (hasBackground)
        list << QStringLiteral("--background=") + colourName(background);
    if (format != Format::Png)
        list << QStringLiteral("--format=") + formatName(format);
    if (quality != 90)
        list << QStringLiteral("--quality=%1").arg(quality);
    if (crop)
        list << QStringLiteral("--crop=%1").arg(margin);
    if (canvas == Canvas::Square)
        list << QStringLiteral("--canvas=square");
    else if (canvas == Canvas::Size)
        list << QStringLiteral("--canvas=%1x%2").arg(canvasWidth).arg(canvasHeight);
    if (mask)
        list << QStringLiteral("--mask");
    if (png == Compression::Small)
        list << QStringLiteral("--png=small");
    if (edges == Edges::Clean)
        list << QStringLiteral("--edges=clean");
    else if (edges == Edges::Refine)
        list << QStringLiteral("--edges=refine");
    if (hidden == Hidden::Keep)
        list << QStringLiteral("--hidden=keep");
    if (colour == Colour::Srgb)
        list << QStringLiteral("--colour=srgb");
    return list;
}

OutputChoices OutputChoices::fromArguments(const QStringList &arguments, QString *error)
{
    OutputChoices choices;
    const QString refused = choices.setArguments(arguments);
    if (error)
        *error = refused;
    return choices;
}

QString OutputChoices::setArguments(const QStringList &arguments)
{
    QString first;
    for (const QString &argument : arguments) {
        const QString option = argument.startsWith(QLatin1String("--")) ? argument.mid(2) : argument;
        const int equals = option.indexOf(QLatin1Char('='));
        const QString refused = set(option.left(equals), equals < 0 ? QString() : option.mid(equals + 1));
        if (first.isEmpty())
            first = refused;
    }
    return first;
}

bool OutputChoices::makesVariant() const
{
    return hasBackground || format != Format::Png || crop || canvas != Canvas::None || hasPreset();
}

QString OutputChoices::summary() const
{
    QStringList parts;
    if (hasPreset())
        parts << QCoreApplication::translate("OutputChoices", "预设 %1").arg(preset.name);
    if (variantHasBackground())
        parts << (background == 0xffffff ? QCoreApplication::translate("OutputChoices", "背景白色")
                  : background == 0      ? QCoreApplication::translate("OutputChoices", "背景黑色")
                                         : QCoreApplication::translate("OutputChoices", "背景 %1").arg(colourName(background)));
    if (format == Format::Jpeg)
        parts << QCoreApplication::translate("OutputChoices", "JPEG（质量 %1）").arg(quality);
    else if (format == Format::Webp)
        parts << QCoreApplication::translate("OutputChoices", "WebP（质量 %1）").arg(quality);
    if (hasPreset())
        parts << QCoreApplication::translate("OutputChoices", "主体占画面 %1%，方形画布 %2 像素").arg(preset.fill).arg(preset.size);
    else if (crop)
        parts << QCoreApplication::translate("OutputChoices", "裁到主体（边距 %1%）").arg(margin);
    if (canvas == Canvas::Square && !hasPreset())
        parts << QCoreApplication::translate("OutputChoices", "方形画布");
    else if (canvas == Canvas::Size && !hasPreset())
        parts << QCoreApplication::translate("OutputChoices", "画布 %1×%2").arg(canvasWidth).arg(canvasHeight);
    if (mask)
        parts << QCoreApplication::translate("OutputChoices", "另存蒙版");
    if (png == Compression::Small)
        parts << QCoreApplication::translate("OutputChoices", "PNG 高压缩");
    if (edges == Edges::Clean)
        parts << QCoreApplication::translate("OutputChoices", "清理边缘颜色");
    else if (edges == Edges::Refine)
        parts << QCoreApplication::translate("OutputChoices", "细化边缘");
    if (hidden == Hidden::Keep)
        parts << QCoreApplication::translate("OutputChoices", "保留透明处的原照片像素");
    if (colour == Colour::Srgb)
        parts << QCoreApplication::translate("OutputChoices", "转换为 sRGB");
    return parts.isEmpty() ? QString() : QCoreApplication::translate("OutputChoices", "输出选项：") + parts.join(QCoreApplication::translate("OutputChoices", "，"));
}
