#pragma once

#include "presets.h"

#include <QtGlobal>
#include <QString>
#include <QStringList>


// The files a batch makes besides each photo's master (the full-size transparent PNG), and
// how: one set a batch. Each choice is also a command-line option; set() reads one as the
// command line, the settings and the options dialog give it.
struct OutputChoices
{
    enum class Format { Png, Jpeg, Webp };
    enum class Canvas { None, Square, Size };
    enum class Compression { Fast, Small };
    enum class Edges { Source, Clean, Refine };
    // What a pixel of alpha 0 holds: one flat colour, or the photo's own (for re-editing the mask elsewhere).
    enum class Hidden { Clear, Keep };
    enum class Colour { Keep, Srgb };

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
    Hidden hidden = Hidden::Clear;
    // The files beside the master converted to sRGB, or in the photo's own colours.
    Colour colour = Colour::Keep;
    // Its choices set first, its frame in place of the crop and canvas; its rules checked.
    Preset preset;

    // The options, by their long names without dashes, in the order --help lists them.
    static QStringList optionNames();
    // Sets one option from its text ("" for --mask, and for --crop without a margin); an
    // empty return when it could be read, otherwise the line that says why not.
    QString set(const QString &option, const QString &value);
    // The options that give these choices, as set() reads them; empty for the defaults.
    QStringList arguments() const;
    // The choices that options as arguments() gives them ("--crop=5", "--mask", "--crop")
    // make; `error`, when given, gets the first refusal's line.
    static OutputChoices fromArguments(const QStringList &arguments, QString *error = nullptr);
    // The same over these choices; the first refusal's line, or empty.
    QString setArguments(const QStringList &arguments);

    // Whether each photo gets a file beside its master: a background, a format other than
    // PNG, a crop or a canvas.
    bool makesVariant() const;
    // The background the variant is laid on, if any: a JPEG always has one, white by default.
    bool variantHasBackground() const { return hasBackground || format == Format::Jpeg; }
    bool isDefault() const { return arguments().isEmpty(); }
    bool hasPreset() const { return !preset.name.isEmpty(); }

    // The names the options and file names use: "white", "black" or "#rrggbb"; "png", "jpg", "webp".
    static QString colourName(quint32 colour);
    static QString formatName(Format format);
    // The most pixels a canvas may have: as many as the largest photo read.
    static constexpr qint64 maxCanvasPixels = 250'000'000;

    // The choices in words, for the batch's first line; empty for the defaults.
    QString summary() const;

    bool operator==(const OutputChoices &other) const { return arguments() == other.arguments(); }
    bool operator!=(const OutputChoices &other) const { return !(*this == other); }

private:
    QStringList ownArguments() const;
};
