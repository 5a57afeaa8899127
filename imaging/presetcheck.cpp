#include "presetcheck.h"

#include "colourspace.h"
#include "imagefile.h"
#include "imageformat.h"
#include "photometadata.h"

#include <QCoreApplication>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace presetcheck {

namespace {

// Further from the background than JPEG's noise on a flat area: part of the subject.
constexpr int subjectDistance = 16;
// The subject's share may differ this many points from the preset's: the frame is set by its
// alpha, which the file no longer has; a soft rim is close to the background, and a hard
// edge rings a pixel or two into it.
constexpr double fillTolerance = 2.5;

struct Text
{
    QString shown, original;
    template <typename... Values>
    static Text of(const char *source, const Values &...values)
    {
        Text text{QCoreApplication::translate("PresetCheck", source), QString::fromUtf8(source)};
        ((text.shown = text.shown.arg(values), text.original = text.original.arg(values)), ...);
        return text;
    }
};

PresetCheck made(const char *rule, bool ok, const Text &text)
{
    return {QLatin1String(rule), ok, text.shown, text.original};
}

QString percent(double value)
{
    return QString::number(value, 'f', 1);
}

// Border pixels that are not the background: a shop measures the frame from it.
int borderOffColour(const cv::Mat &image, const cv::Vec3b &background)
{
    int off = 0;
    const auto look = [&](int x, int y) {
        if (image.channels() == 4)
            off += image.at<cv::Vec4b>(y, x)[3] != 0;
        else
            off += image.at<cv::Vec3b>(y, x) != background;
    };
    for (int x = 0; x < image.cols; ++x) {
        look(x, 0);
        if (image.rows > 1)
            look(x, image.rows - 1);
    }
    for (int y = 1; y + 1 < image.rows; ++y) {
        look(0, y);
        if (image.cols > 1)
            look(image.cols - 1, y);
    }
    return off;
}

cv::Rect subjectBox(const cv::Mat &image, const cv::Vec3b &background)
{
    cv::Mat mask;
    if (image.channels() == 4) {
        cv::extractChannel(image, mask, 3);
        cv::threshold(mask, mask, subjectDistance, 255, cv::THRESH_BINARY);
    } else {
        cv::Mat distance;
        cv::absdiff(image, cv::Scalar(background[0], background[1], background[2]), distance);
        cv::Mat planes[3];
        cv::split(distance, planes);
        cv::max(planes[0], planes[1], mask);
        cv::max(mask, planes[2], mask);
        cv::threshold(mask, mask, subjectDistance, 255, cv::THRESH_BINARY);
    }
    return cv::boundingRect(mask);
}

imageformat::Format formatOf(OutputChoices::Format format)
{
    switch (format) {
    case OutputChoices::Format::Jpeg:
        return imageformat::Format::Jpeg;
    case OutputChoices::Format::Webp:
        return imageformat::Format::Webp;
    case OutputChoices::Format::Png:
        break;
    }
    return imageformat::Format::Png;
}

} // namespace

QVector<PresetCheck> check(const QString &path, const OutputChoices &choices, bool colourKnown)
{
    return choices.hasPreset() ? check(imagefile::read(path), choices, colourKnown) : QVector<PresetCheck>();
}

QVector<PresetCheck> check(const QByteArray &bytes, const OutputChoices &choices, bool colourKnown)
{
    if (!choices.hasPreset())
        return {};
    const Preset &preset = choices.preset;
    const QString &name = preset.name;
    QVector<PresetCheck> checks;
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    const imageformat::Format format = imageformat::sniff(data, std::size_t(bytes.size()));
    const QString formatName = OutputChoices::formatName(choices.format).toUpper();
    const bool formatOk = !bytes.isEmpty() && format == formatOf(choices.format);
    checks << made("format", formatOk, formatOk ? Text{formatName, formatName} : Text::of(QT_TRANSLATE_NOOP("PresetCheck", "不是 %1 文件"), formatName));
    const cv::Mat image = formatOk ? imagefile::decode(bytes, cv::IMREAD_UNCHANGED) : cv::Mat();
    if (image.empty() || image.depth() != CV_8U || (image.channels() != 3 && image.channels() != 4)) {
        if (formatOk)
            checks << made("size", false, Text::of(QT_TRANSLATE_NOOP("PresetCheck", "文件无法读取")));
        return checks;
    }

    const int side = std::max(image.cols, image.rows);
    if (image.cols != image.rows)
        checks << made("size", false, Text::of(QT_TRANSLATE_NOOP("PresetCheck", "%1×%2 像素，不是方形"), image.cols, image.rows));
    else if (preset.minimum > 0 && side < preset.minimum)
        checks << made("size", false, Text::of(QT_TRANSLATE_NOOP("PresetCheck", "只有 %1 像素，%2 要求至少 %3"), side, name, preset.minimum));
    else if (preset.maximum > 0 && side > preset.maximum)
        checks << made("size", false, Text::of(QT_TRANSLATE_NOOP("PresetCheck", "有 %1 像素，%2 要求至多 %3"), side, name, preset.maximum));
    else
        checks << made("size", true, Text::of(QT_TRANSLATE_NOOP("PresetCheck", "%1 像素"), side));

    const cv::Vec3b background(choices.background & 0xff, (choices.background >> 8) & 0xff, (choices.background >> 16) & 0xff);
    const int off = borderOffColour(image, background);
    checks << made("background", off == 0,
                   off == 0 ? Text::of(QT_TRANSLATE_NOOP("PresetCheck", "边缘全是背景色"))
                            : Text::of(QT_TRANSLATE_NOOP("PresetCheck", "边缘有 %1 个像素不是背景色"), off));

    const cv::Rect box = subjectBox(image, background);
    const double share = 100.0 * std::max(box.width, box.height) / side;
    const bool fillOk = !box.empty() && std::abs(share - preset.fill) <= fillTolerance;
    checks << made("fill", fillOk, Text::of(QT_TRANSLATE_NOOP("PresetCheck", "主体占画面 %1%，%2 要求 %3%"), percent(share), name, percent(preset.fill)));

    if (choices.colour == OutputChoices::Colour::Srgb) {
        const photometadata::Metadata metadata = photometadata::read(data, std::size_t(bytes.size()));
        const bool srgb = metadata.profile == colourspace::srgbProfile();
        checks << made("colour", colourKnown && srgb,
                       !colourKnown ? Text::of(QT_TRANSLATE_NOOP("PresetCheck", "颜色空间未知")) : srgb ? Text{QStringLiteral("sRGB"), QStringLiteral("sRGB")} : Text::of(QT_TRANSLATE_NOOP("PresetCheck", "不是 sRGB")));
    }
    if (preset.maxFileBytes() > 0) {
        const bool small = bytes.size() <= preset.maxFileBytes();
        const QString megabytes = QString::number(bytes.size() / 1e6, 'f', 1);
        checks << made("file-size", small,
                       small ? Text::of("%1 MB", megabytes)
                             : Text::of(QT_TRANSLATE_NOOP("PresetCheck", "文件 %1 MB，%2 要求至多 %3 MB"), megabytes, name, QString::number(preset.fileMegabytes)));
    }
    return checks;
}

QVector<PresetCheck> noSubject()
{
    return {made("subject", false, Text::of(QT_TRANSLATE_NOOP("PresetCheck", "没有主体，没有放上画布")))};
}

bool fallsShort(const QVector<PresetCheck> &checks)
{
    return std::any_of(checks.begin(), checks.end(), [](const PresetCheck &each) { return !each.ok; });
}

QString shortfall(const QVector<PresetCheck> &checks, bool original)
{
    QStringList reasons;
    for (const PresetCheck &each : checks)
        if (!each.ok)
            reasons << (original ? each.detailOriginal : each.detail);
    return reasons.join(original ? QStringLiteral("；") : QCoreApplication::translate("PresetCheck", "；"));
}

} // namespace presetcheck
