#pragma once

#include <QtGlobal>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

// The files a batch makes besides each photo's master (the full-size transparent PNG), and
// how: one set a batch. Each choice is also a command-line option; set() reads one as the
// command line, the settings and the options dialog give it.
struct OutputChoices
{
    enum class Format { Png, Jpeg, Webp };
    enum class Canvas { None, Square, Size };
    enum class Compression { Fast, Small };
    enum class Edges { Source, Clean };

    bool hasBackground = false;
    quint32 background = 0xffffff; // 0xRRGGBB
    Format format = Format::Png;
    int quality = 90; // JPEG and WebP, 1 to 100
    bool crop = false;
    double margin = 3; // per cent of the subject box's longer side, on every side
    Canvas canvas = Canvas::None;
    int canvasWidth = 0, canvasHeight = 0;
    bool mask = false;
    Compression png = Compression::Fast;
    Edges edges = Edges::Source;

    // The options, by their long names without dashes, in the order --help lists them.
    static QStringList optionNames();
    // Sets one option from its text ("" for --mask, and for --crop without a margin); an
    // empty return when it could be read, otherwise the line that says why not.
    QString set(const QString &option, const QString &value);
    // The options that give these choices, as set() reads them; empty for the defaults.
    QStringList arguments() const;

    // Whether each photo gets a file beside its master: a background, a format other than
    // PNG, a crop or a canvas.
    bool makesVariant() const;
    // The background the variant is laid on, if any: a JPEG always has one, white by default.
    bool variantHasBackground() const { return hasBackground || format == Format::Jpeg; }
    bool isDefault() const { return arguments().isEmpty(); }

    // The variant's and the mask's paths beside a master; empty when not made. Both carry
    // "-no-bg", so that a folder scan knows them; they never equal each other, and the
    // compositor skips one that would equal the master.
    QString variantPath(const QString &master) const;
    QString maskPath(const QString &master) const;
    // Whether a file name is one of the names variantPath() or maskPath() give.
    static bool isVariantName(const QString &fileName);

    // The choices in words, for the batch's first line; empty for the defaults.
    QString summary() const;

    bool operator==(const OutputChoices &other) const { return arguments() == other.arguments(); }
    bool operator!=(const OutputChoices &other) const { return !(*this == other); }
};

namespace variant {

// The variant of a full-size cut-out: cropped to the subject box with its margin, on its
// canvas, laid on the background when there is one. `colour` 8-bit BGR and `alpha` 8-bit
// single-channel of the same size. Returns BGR with a background, BGRA without. `empty`
// is set when there is no subject to crop to, and the image then is not cropped.
cv::Mat render(const cv::Mat &colour, const cv::Mat &alpha, const OutputChoices &choices, bool *empty = nullptr);

// The subject box: the pixels of alpha over a small threshold, so that faint noise does not
// stretch it; empty when there are none.
cv::Rect subjectBox(const cv::Mat &alpha);

} // namespace variant
