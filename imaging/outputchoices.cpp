#include "outputchoices.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// The most pixels a canvas may have: as many as the largest photo read.
constexpr qint64 maxCanvasPixels = 250'000'000;
// Alpha at or below this is faint noise, not subject, for the crop.
constexpr int subjectThreshold = 10;

QString colourName(quint32 colour)
{
    if (colour == 0xffffff)
        return QStringLiteral("white");
    if (colour == 0)
        return QStringLiteral("black");
    return QStringLiteral("#%1").arg(colour, 6, 16, QLatin1Char('0'));
}

QString formatName(OutputChoices::Format format)
{
    switch (format) {
    case OutputChoices::Format::Jpeg:
        return QStringLiteral("jpg");
    case OutputChoices::Format::Webp:
        return QStringLiteral("webp");
    case OutputChoices::Format::Png:
        break;
    }
    return QStringLiteral("png");
}

QString refusal(const QString &option, const QString &value, const char *must)
{
    return QStringLiteral("--%1 gives \"%2\"; %3").arg(option, value, QLatin1String(must));
}

// The master's name without ".png", ending in "-no-bg" (or "-no-bg-small") so that every
// file made beside it is known as the program's own. Another suffix stays in the name, so
// that "shop.png" and "shop.webp" give files of their own.
QString variantBase(const QString &master)
{
    const QFileInfo info(master);
    QString base = info.suffix().compare(QLatin1String("png"), Qt::CaseInsensitive) == 0
                       ? info.path() + QLatin1Char('/') + info.completeBaseName()
                       : info.filePath();
    if (!base.endsWith(QLatin1String("-no-bg"), Qt::CaseInsensitive)
        && !base.endsWith(QLatin1String("-no-bg-small"), Qt::CaseInsensitive))
        base += QLatin1String("-no-bg");
    return base;
}

} // namespace

QStringList OutputChoices::optionNames()
{
    return {QStringLiteral("background"), QStringLiteral("format"), QStringLiteral("quality"), QStringLiteral("crop"),
            QStringLiteral("canvas"),     QStringLiteral("mask"),   QStringLiteral("png"),     QStringLiteral("edges")};
}

QString OutputChoices::set(const QString &option, const QString &value)
{
    const QString text = value.trimmed().toLower();
    if (option == QLatin1String("background")) {
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
        else
            return refusal(option, value, "it must be source or clean");
    } else {
        return QStringLiteral("--%1 is not an output choice").arg(option);
    }
    return {};
}

QStringList OutputChoices::arguments() const
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
    return list;
}

bool OutputChoices::makesVariant() const
{
    return hasBackground || format != Format::Png || crop || canvas != Canvas::None;
}

QString OutputChoices::variantPath(const QString &master) const
{
    if (!makesVariant() || master.isEmpty())
        return {};
    QString path = variantBase(master);
    if (variantHasBackground())
        path += QStringLiteral(".bg-") + colourName(background).remove(QLatin1Char('#'));
    if (crop)
        path += QStringLiteral(".crop%1").arg(margin);
    if (canvas == Canvas::Square)
        path += QStringLiteral(".square");
    else if (canvas == Canvas::Size)
        path += QStringLiteral(".%1x%2").arg(canvasWidth).arg(canvasHeight);
    if (format != Format::Png && quality != 90)
        path += QStringLiteral(".q%1").arg(quality);
    return path + QLatin1Char('.') + formatName(format);
}

QString OutputChoices::maskPath(const QString &master) const
{
    return mask && !master.isEmpty() ? variantBase(master) + QStringLiteral(".mask.png") : QString();
}

bool OutputChoices::isVariantName(const QString &fileName)
{
    static const QRegularExpression name(
        QStringLiteral("-no-bg(-small)?((\\.(bg-[0-9a-z]+|crop[0-9.]+|square|[0-9]+x[0-9]+|q[0-9]+))+\\.(png|jpg|webp)"
                       "|(\\.q[0-9]+)?\\.webp|\\.mask\\.png)$"),
        QRegularExpression::CaseInsensitiveOption);
    return name.match(fileName).hasMatch();
}

QString OutputChoices::summary() const
{
    QStringList parts;
    if (variantHasBackground())
        parts << (background == 0xffffff ? QCoreApplication::translate("OutputChoices", "背景白色")
                  : background == 0      ? QCoreApplication::translate("OutputChoices", "背景黑色")
                                         : QCoreApplication::translate("OutputChoices", "背景 %1").arg(colourName(background)));
    if (format == Format::Jpeg)
        parts << QCoreApplication::translate("OutputChoices", "JPEG（质量 %1）").arg(quality);
    else if (format == Format::Webp)
        parts << QCoreApplication::translate("OutputChoices", "WebP（质量 %1）").arg(quality);
    if (crop)
        parts << QCoreApplication::translate("OutputChoices", "裁到主体（边距 %1%）").arg(margin);
    if (canvas == Canvas::Square)
        parts << QCoreApplication::translate("OutputChoices", "方形画布");
    else if (canvas == Canvas::Size)
        parts << QCoreApplication::translate("OutputChoices", "画布 %1×%2").arg(canvasWidth).arg(canvasHeight);
    if (mask)
        parts << QCoreApplication::translate("OutputChoices", "另存蒙版");
    if (png == Compression::Small)
        parts << QCoreApplication::translate("OutputChoices", "PNG 高压缩");
    if (edges == Edges::Clean)
        parts << QCoreApplication::translate("OutputChoices", "清理边缘颜色");
    return parts.isEmpty() ? QString() : QCoreApplication::translate("OutputChoices", "输出选项：") + parts.join(QCoreApplication::translate("OutputChoices", "，"));
}

namespace variant {

cv::Rect subjectBox(const cv::Mat &alpha)
{
    cv::Mat subject;
    cv::threshold(alpha, subject, subjectThreshold, 255, cv::THRESH_BINARY);
    return cv::boundingRect(subject);
}

namespace {

// Each row laid on the background: round((a·c + (255 − a)·b) / 255), in whole numbers.
void flatten(const cv::Mat &colour, const cv::Mat &alpha, const cv::Vec3b &background, cv::Mat &out)
{
    out.create(colour.size(), CV_8UC3);
    cv::parallel_for_(cv::Range(0, colour.rows), [&](const cv::Range &rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const auto *c = colour.ptr<cv::Vec3b>(y);
            const auto *a = alpha.ptr<uchar>(y);
            auto *o = out.ptr<cv::Vec3b>(y);
            for (int x = 0; x < colour.cols; ++x) {
                const int opacity = a[x];
                for (int k = 0; k < 3; ++k)
                    o[x][k] = uchar((opacity * c[x][k] + (255 - opacity) * background[k] + 127) / 255);
            }
        }
    });
}

} // namespace

cv::Mat render(const cv::Mat &colour, const cv::Mat &alpha, const OutputChoices &choices, bool *empty)
{
    CV_Assert(colour.type() == CV_8UC3 && alpha.type() == CV_8UC1 && colour.size() == alpha.size());
    const cv::Rect whole(0, 0, colour.cols, colour.rows);
    cv::Rect region = whole;
    bool nothing = false;
    if (choices.crop) {
        const cv::Rect box = subjectBox(alpha);
        nothing = box.empty();
        if (!nothing) {
            const int margin = int(std::lround(choices.margin / 100.0 * std::max(box.width, box.height)));
            region = cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin);
        }
    }
    if (empty)
        *empty = nothing;
    const cv::Size canvasSize = choices.canvas == OutputChoices::Canvas::Size
                                    ? cv::Size(choices.canvasWidth, choices.canvasHeight)
                                    : choices.canvas == OutputChoices::Canvas::Square
                                          ? cv::Size(std::max(region.width, region.height), std::max(region.width, region.height))
                                          : region.size();
    // A wide margin on a large photo could ask for more than any photo read.
    if (qint64(region.width) * region.height > maxCanvasPixels || qint64(canvasSize.width) * canvasSize.height > maxCanvasPixels)
        return {};

    const bool opaque = choices.variantHasBackground();
    const cv::Vec3b background((choices.background) & 0xff, (choices.background >> 8) & 0xff,
                               (choices.background >> 16) & 0xff);
    const cv::Scalar fill = opaque ? cv::Scalar(background[0], background[1], background[2]) : cv::Scalar::all(0);

    // The region's pixels; where a margin reaches past the photo, background or transparency.
    const cv::Rect inside = region & whole;
    cv::Mat picture(region.size(), opaque ? CV_8UC3 : CV_8UC4, fill);
    cv::Mat target = picture(cv::Rect(inside.x - region.x, inside.y - region.y, inside.width, inside.height));
    if (opaque) {
        cv::Mat flat;
        flatten(colour(inside), alpha(inside), background, flat);
        flat.copyTo(target);
    } else {
        const cv::Mat planes[] = {colour(inside), alpha(inside)};
        const int fromTo[] = {0, 0, 1, 1, 2, 2, 3, 3};
        cv::mixChannels(planes, 2, &target, 1, fromTo, 4);
    }
    if (choices.canvas == OutputChoices::Canvas::None)
        return picture;

    const double scale = choices.canvas == OutputChoices::Canvas::Square
                             ? 1
                             : std::min(double(canvasSize.width) / picture.cols, double(canvasSize.height) / picture.rows);
    cv::Mat placed = picture;
    if (scale != 1) {
        const cv::Size size(std::max(1, std::min(canvasSize.width, int(std::lround(picture.cols * scale)))),
                            std::max(1, std::min(canvasSize.height, int(std::lround(picture.rows * scale)))));
        // Scaled premultiplied, so that the colours under alpha 0 do not bleed into the edge.
        if (!opaque)
            cv::cvtColor(picture, picture, cv::COLOR_RGBA2mRGBA);
        cv::resize(picture, placed, size, 0, 0, scale < 1 ? cv::INTER_AREA : cv::INTER_LANCZOS4);
        if (!opaque)
            cv::cvtColor(placed, placed, cv::COLOR_mRGBA2RGBA);
    }
    cv::Mat canvas(canvasSize, picture.type(), fill);
    placed.copyTo(canvas(cv::Rect((canvasSize.width - placed.cols) / 2, (canvasSize.height - placed.rows) / 2,
                                  placed.cols, placed.rows)));
    return canvas;
}

} // namespace variant
