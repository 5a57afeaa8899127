#include "compositor.h"

#include "colourspace.h"
#include "edgecleaner.h"
#include "edgerefiner.h"
#include "imagefile.h"
#include "imageformat.h"
#include "jpegrows.h"
#include "masterfile.h"
#include "photometadata.h"
#include "pngwriter.h"
#include "presetcheck.h"
#include "targetformat.h"
#include "tilepicture.h"
#include "variant.h"

#include <QBuffer>
#include <QFileInfo>
#include <QSaveFile>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace compositor {

namespace {

using Format = TargetFormat;

bool writeBytes(QIODevice &file, const std::vector<unsigned char> &bytes)
{
    const auto size = static_cast<qint64>(bytes.size());
    return file.write(reinterpret_cast<const char *>(bytes.data()), size) == size;
}

struct Picture
{
    cv::Mat colour; // BGR; or BGRA, for an encoder other than the PNG writer
    cv::Mat alpha;  // empty: opaque, or in the colour
};

// One file: PNG through the project's writer (with the photo's chunks), the others through
// OpenCV, their metadata added after. A `master` is exact in WebP, and in PNG carries the
// review's picture of it.
bool encode(QIODevice &out, Format format, const Picture &picture, const photometadata::Metadata &metadata,
            const OutputChoices &choices, const std::vector<unsigned char> &extraChunks, bool master, int threads,
            const std::function<bool(int)> &rowsReady = {})
{
    if (format == Format::Png) {
        pngwriter::Options options;
        options.threads = threads;
        options.clearHidden = choices.hidden == OutputChoices::Hidden::Clear;
        options.rowsReady = rowsReady;
        options.small = choices.png == OutputChoices::Compression::Small;
        options.chunks = extraChunks;
        const std::vector<unsigned char> kept = photometadata::pngChunks(metadata);
        options.chunks.insert(options.chunks.end(), kept.begin(), kept.end());
        const cv::Mat alpha = picture.alpha.empty() ? cv::Mat(picture.colour.size(), CV_8UC1, cv::Scalar(255)) : picture.alpha;
        std::unique_ptr<tilepicture::Maker> tile;
        if (master && tilepicture::worthCarrying(alpha.size())) {
            tile = std::make_unique<tilepicture::Maker>(alpha.size());
            options.rowWritten = [&tile](int row, const unsigned char *rgba) { tile->addRow(row, rgba); };
            options.tail = [&tile] { return tile->chunk(); };
        }
        return pngwriter::write(out, picture.colour, alpha, options);
    }
    cv::Mat image = picture.colour;
    if (!picture.alpha.empty()) {
        image.create(picture.colour.size(), CV_8UC4);
        const cv::Mat planes[] = {picture.colour, picture.alpha};
        const int fromTo[] = {0, 0, 1, 1, 2, 2, 3, 3};
        cv::mixChannels(planes, 2, &image, 1, fromTo, 4);
    }
    std::vector<int> parameters;
    const char *extension = ".tiff";
    if (format == Format::Jpeg) {
        extension = ".jpg";
        parameters = {cv::IMWRITE_JPEG_QUALITY, choices.quality};
    } else if (format == Format::Webp) {
        extension = ".webp";
        parameters = {cv::IMWRITE_WEBP_QUALITY, master ? 101 : choices.quality};
    }
    std::vector<uchar> encoded;
    if (!cv::imencode(extension, image, encoded, parameters))
        return false;
    if (format == Format::Jpeg)
        encoded = photometadata::embedInJpeg(encoded, metadata);
    else if (format == Format::Webp)
        encoded = photometadata::embedInWebp(encoded, metadata);
    return writeBytes(out, encoded);
}

// Otherwise QSaveFile discards the unfinished copy, and the file before it stays.
bool writeFile(const QString &path, const std::function<bool(QIODevice &)> &write)
{
    // Never through a link, nor over a special file: the write would land somewhere else.
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isFile()))
        return false;
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && write(file) && file.commit();
}

Format formatOfChoice(OutputChoices::Format format)
{
    switch (format) {
    case OutputChoices::Format::Jpeg:
        return Format::Jpeg;
    case OutputChoices::Format::Webp:
        return Format::Webp;
    case OutputChoices::Format::Png:
        break;
    }
    return Format::Png;
}

// The master as its name's format holds it: with alpha, or laid on the background for a
// JPEG (and for a WebP when a background is chosen).
Picture masterPicture(Format format, const cv::Mat &colour, const cv::Mat &alpha, const OutputChoices &choices)
{
    const bool opaque = format == Format::Jpeg || (format == Format::Webp && choices.hasBackground);
    if (!opaque)
        return {colour, alpha};
    OutputChoices flat;
    flat.hasBackground = true;
    flat.background = choices.background;
    return {variant::render(colour, alpha, flat), {}};
}

// The files the choices ask for beside the master, encoded but not yet written.
struct Others
{
    std::vector<std::pair<QString, QByteArray>> files;
    bool encoded = true;
    bool nothingToCrop = false;
    bool colourKnown = true; // the photo's colours could be converted as asked
    QString presetFile;      // the file a preset's rules are checked on, once written
    QVector<PresetCheck> checks; // of its bytes
};

// The pixels and the metadata of the files beside the master: in sRGB when asked, the part of
// the photo the preset frames alone converted. The photo's own pixels are left as they are,
// and so is a photo whose profile cannot be used.
struct Beside
{
    cv::Mat colour, alpha;
    photometadata::Metadata metadata;
    bool colourKnown = true;
    std::vector<unsigned char> convertFrom; // a preset's frame converts from this profile
};

Beside unconverted(Beside &beside, const photometadata::Metadata &metadata)
{
    beside.metadata = metadata;
    beside.metadata.profile.clear();
    beside.colourKnown = false;
    beside.convertFrom.clear();
    return beside;
}

Beside besideFiles(const OutputChoices &choices, const cv::Mat &colour, const cv::Mat &alpha, const photometadata::Metadata &metadata)
{
    Beside beside{colour, alpha, metadata, true, {}};
    if (choices.colour != OutputChoices::Colour::Srgb)
        return beside;
    if (!metadata.profileLeftOut.empty()) {
        beside.colourKnown = false;
        return beside;
    }
    beside.metadata.colourChunks.clear();
    beside.metadata.profile = colourspace::srgbProfile();
    if (metadata.profile.empty())
        return beside; // taken as sRGB
    if (choices.hasPreset()) {
        beside.convertFrom = metadata.profile;
        return beside;
    }
    cv::Mat converted = colour.clone();
    if (!colourspace::toSrgb(converted, metadata.profile))
        return unconverted(beside, metadata);
    beside.colour = converted;
    return beside;
}

Others encodeOthers(const ScaleAndMix::Request &request, const cv::Mat &colour, const cv::Mat &alpha,
                    const photometadata::Metadata &metadata)
{
    Others others;
    const OutputChoices &choices = request.choices;
    const auto add = [&](const QString &path, const std::function<bool(QIODevice &)> &write) {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        others.encoded = others.encoded && write(buffer);
        others.files.emplace_back(path, buffer.data());
    };
    const QString &variantPath = request.variantPath;
    if (!variantPath.isEmpty() && variantPath != request.target) {
        Beside beside = besideFiles(choices, colour, alpha, metadata);
        bool converted = true;
        const auto recolour = [&](cv::Mat &bgr) { converted = colourspace::toSrgb(bgr, beside.convertFrom); };
        const cv::Mat rendered = variant::render(beside.colour, beside.alpha, choices, &others.nothingToCrop,
                                                 beside.convertFrom.empty() ? std::function<void(cv::Mat &)>() : recolour);
        if (!converted)
            unconverted(beside, metadata);
        others.colourKnown = beside.colourKnown;
        if (rendered.empty() && choices.hasPreset() && others.nothingToCrop)
            return others;
        if (rendered.empty()) {
            others.encoded = false;
            return others;
        }
        // Only the PNG writer takes the alpha apart; OpenCV's encoders take the pixels as they are.
        const Format format = formatOfChoice(choices.format);
        Picture picture{rendered, {}};
        if (rendered.channels() == 4 && format == Format::Png) {
            cv::Mat planes[4];
            cv::split(rendered, planes);
            cv::merge(planes, 3, picture.colour);
            picture.alpha = planes[3];
        }
        add(variantPath, [&](QIODevice &out) { return encode(out, format, picture, beside.metadata, choices, {}, false, 1); });
        if (choices.hasPreset() && others.encoded) {
            others.presetFile = variantPath;
            others.checks = presetcheck::check(others.files.back().second, choices, others.colourKnown);
        }
    }
    const QString &maskPath = request.maskPath;
    if (!maskPath.isEmpty() && maskPath != request.target) {
        // Alpha alone, as data: no colour profile belongs to it.
        add(maskPath, [&](QIODevice &out) {
            std::vector<uchar> encoded;
            const int level = choices.png == OutputChoices::Compression::Small ? 9 : 1;
            return cv::imencode(".png", alpha, encoded, {cv::IMWRITE_PNG_COMPRESSION, level}) && writeBytes(out, encoded);
        });
    }
    return others;
}

ScaleAndMix::Outcome writeFiles(const Others &others, const QString &origin, ScaleAndMix::Report &report)
{
    report.nothingToCrop = others.nothingToCrop;
    if (!others.encoded)
        return ScaleAndMix::OtherFileFailed;
    for (const auto &file : others.files) {
        const QString &path = file.first;
        const QByteArray &bytes = file.second;
        // The photo is never written to, whatever its name.
        const QFileInfo info(path);
        if (info.exists() && info.canonicalFilePath() == QFileInfo(origin).canonicalFilePath())
            return ScaleAndMix::OtherFileOnPhoto;
        if (!writeFile(path, [&bytes](QIODevice &out) { return out.write(bytes) == bytes.size(); }))
            return ScaleAndMix::OtherFileFailed;
        report.written << path;
    }
    return ScaleAndMix::Written;
}

// Black under alpha 0: the old background is not kept where nobody sees it. A format without
// alpha lays the background over these pixels in any case.
void clearHidden(cv::Mat &colour, const cv::Mat &alpha)
{
    colour.setTo(cv::Scalar::all(0), alpha == 0);
}

// The alpha scaled from a cut-out of `cutout` pixels redrawn from the photo, the soft edges'
// colours cleaned, and the hidden background cleared, as the choices ask; `colour` is the photo's.
void finishPixels(cv::Mat &colour, cv::Mat &alpha, const OutputChoices &choices, cv::Size cutout, bool refineAlpha,
                  int threads)
{
    if (refineAlpha && !cutout.empty())
        edgerefiner::refine(colour, alpha, double(colour.cols) / cutout.width, threads);
    if (choices.edges != OutputChoices::Edges::Source)
        edgecleaner::clean(colour, alpha, threads);
    if (choices.hidden == OutputChoices::Hidden::Clear)
        clearHidden(colour, alpha);
}

// A master's marks as the choices made it.
std::vector<unsigned char> marksOf(const OutputChoices &choices, OutputChoices::Edges edges, cv::Size cutout)
{
    return masterfile::marksChunks({edges, choices.hidden == OutputChoices::Hidden::Keep, cutout});
}

// A preset's file is held to its rules as a shop would read it, once it is written.
ScaleAndMix::Outcome writeOthers(const Others &others, const ScaleAndMix::Request &request, ScaleAndMix::Report &report)
{
    const ScaleAndMix::Outcome outcome = writeFiles(others, request.origin, report);
    if (outcome == ScaleAndMix::Written && request.choices.hasPreset() && !request.variantPath.isEmpty())
        report.checks = others.presetFile.isEmpty() ? presetcheck::noSubject() : others.checks;
    return outcome;
}

void noteProfile(const photometadata::Metadata &metadata, ScaleAndMix::Report &report)
{
    report.profileLeftOut = QString::fromStdString(metadata.profileLeftOut);
}

ScaleAndMix::Report fromMaster(const ScaleAndMix::Request &request, int threads)
{
    ScaleAndMix::Report report;
    const QByteArray bytes = imagefile::read(request.target);
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    photometadata::Metadata metadata = photometadata::read(data, std::size_t(bytes.size()));
    if (!request.record.isEmpty())
        metadata.record = request.record.toStdString();
    cv::Mat colour, alpha;
    if (!masterfile::read(bytes, colour, alpha, threads)) {
        report.outcome = ScaleAndMix::MasterUnreadable;
        return report;
    }
    const Format format = targetFormatOf(request.target);
    const OutputChoices &choices = request.choices;
    const masterfile::Marks marks = masterfile::marksOf(bytes.left(masterfile::marksHeadBytes));
    // A refined alpha cannot be had back unrefined without the service's cut-out: it stays.
    const bool refine = choices.edges == OutputChoices::Edges::Refine && marks.edges != OutputChoices::Edges::Refine;
    const OutputChoices::Edges edges = marks.edges == OutputChoices::Edges::Refine ? marks.edges : choices.edges;
    const bool colourChange = (edges == OutputChoices::Edges::Source) != (marks.edges == OutputChoices::Edges::Source);
    const bool edgesChange = refine || (edges != OutputChoices::Edges::Refine && colourChange);
    const bool clear = choices.hidden == OutputChoices::Hidden::Clear;
    // A master touched up by hand keeps its colours as they are: only its photo could replace them.
    const bool edited = format == Format::Png && masterfile::isEdited(bytes);
    if (format == Format::Png && !edited && (edgesChange || clear == marks.hiddenKept)) {
        if (edgesChange || !clear) {
            // The photo's own colours again, to start from as a fresh composite does.
            const QByteArray photoBytes = imagefile::read(request.origin);
            const cv::Mat photo = photoBytes.isEmpty() ? cv::Mat() : imagefile::decode(photoBytes, cv::IMREAD_COLOR);
            if (photo.size() != colour.size()) {
                report.outcome = ScaleAndMix::SourceUnreadable;
                return report;
            }
            colour = photo;
            // A master made before it kept its cut-out's size is taken for one from the service's preview.
            const double previewScale = std::max(1.0, std::sqrt(double(colour.total()) / 250000.0));
            const cv::Size cutout = !marks.cutout.empty() ? marks.cutout
                                                          : cv::Size(int(std::lround(colour.cols / previewScale)), 1);
            OutputChoices finished = choices;
            finished.edges = edges;
            finishPixels(colour, alpha, finished, cutout, refine, threads);
        } else {
            clearHidden(colour, alpha);
        }
        if (!writeFile(request.target, [&](QIODevice &out) {
                return encode(out, format, {colour, alpha}, metadata, choices, marksOf(choices, edges, marks.cutout), true,
                              threads);
            })) {
            report.outcome = ScaleAndMix::WriteFailed;
            return report;
        }
        report.written << request.target;
    } else if ((format != Format::Png || edited) && clear) {
        // The files made from it show no old background either.
        clearHidden(colour, alpha);
    }
    report.outcome = writeOthers(encodeOthers(request, colour, alpha, metadata), request, report);
    return report;
}

Others encodeOthersOrNone(const ScaleAndMix::Request &request, const cv::Mat &colour, const cv::Mat &alpha,
                          const photometadata::Metadata &metadata)
{
    try {
        return encodeOthers(request, colour, alpha, metadata);
    } catch (...) {
        // Too large to allocate, say: the master is still written.
        Others failed;
        failed.encoded = false;
        return failed;
    }
}

// The same, for a master whose writer clears the hidden background as it goes: the variant
// from a copy cleared likewise, unless it lies on a background, which covers those pixels
// anyway. None when the copy cannot be had; the master is still written.
Others encodeOthersCleared(const ScaleAndMix::Request &request, const cv::Mat &colour, const cv::Mat &alpha,
                           const photometadata::Metadata &metadata)
{
    if (request.choices.hidden != OutputChoices::Hidden::Clear || request.variantPath.isEmpty()
        || request.choices.variantHasBackground())
        return encodeOthersOrNone(request, colour, alpha, metadata);
    cv::Mat cleared;
    try {
        cleared = colour.clone();
        clearHidden(cleared, alpha);
    } catch (...) {
        return Others{{}, false, false, true, {}, {}};
    }
    return encodeOthersOrNone(request, cleared, alpha, metadata);
}

// The master of a JPEG photo, its stripes compressed as soon as the rows they need are
// decoded; the file is kept only once the whole photo has decoded. None when it did not: the
// photo is then read as any other, with `scaled` the cut-out's alpha.
std::optional<ScaleAndMix::Report> streamMaster(const ScaleAndMix::Request &request, JpegRows &rows,
                                                std::future<cv::Mat> &alphaJob, cv::Mat &scaled, const cv::Size &cutoutSize,
                                                const photometadata::Metadata &metadata, int threads)
{
    ScaleAndMix::Report report;
    cv::Mat source(rows.size(), CV_8UC3);
    std::mutex lock;
    std::condition_variable changed;
    int ready = 0;
    bool over = false;
    // Declared after what it uses, so that it is waited for before they go.
    const std::shared_future<bool> decoded = std::async(std::launch::async, [&] {
        const bool whole = rows.decode(source, [&](int done) {
            {
                const std::lock_guard<std::mutex> locked(lock);
                ready = done;
            }
            changed.notify_all();
        });
        {
            const std::lock_guard<std::mutex> locked(lock);
            over = true;
        }
        changed.notify_all();
        return whole;
    }).share();
    scaled = alphaJob.get();
    if (scaled.size() != source.size()) {
        // The photo's own failure, if any, is told first, as OpenCV's reading tells it.
        if (!decoded.get())
            return std::nullopt;
        report.outcome = ScaleAndMix::CutoutUnreadable;
        return report;
    }
    noteProfile(metadata, report);
    // The writer clears the hidden pixels as it goes; the variant, from a copy of its own.
    auto others = std::async(std::launch::async, [&] {
        return decoded.get() ? encodeOthersCleared(request, source, scaled, metadata) : Others{{}, false, false, true, {}, {}};
    });
    const auto rowsReady = [&](int wanted) {
        std::unique_lock<std::mutex> locked(lock);
        changed.wait(locked, [&] { return ready >= wanted || over; });
        return ready >= wanted;
    };
    const bool written = writeFile(request.target, [&](QIODevice &out) {
        return encode(out, Format::Png, {source, scaled}, metadata, request.choices,
                      marksOf(request.choices, OutputChoices::Edges::Source, cutoutSize), true, threads, rowsReady)
               && decoded.get();
    });
    const Others made = others.get();
    if (!decoded.get())
        return std::nullopt; // nothing was kept
    report.outcome = written ? writeOthers(made, request, report) : ScaleAndMix::WriteFailed;
    return report;
}

} // namespace

ScaleAndMix::Report make(const ScaleAndMix::Request &request, int threads)
{
    if (request.fromMaster)
        return fromMaster(request, threads);
    ScaleAndMix::Report report;
    const QString &targetFile = request.target;
    const Format format = targetFormatOf(targetFile);
    if (format == Format::CutoutOnly) {
        report.outcome = ScaleAndMix::FormatHasNoAlpha;
        return report;
    }

    // The cut-out is small; it decodes, and is scaled to the size the source's header gives,
    // on the second core while the source decodes.
    const QByteArray sourceBytes = imagefile::read(request.origin);
    const auto *sourceData = reinterpret_cast<const unsigned char *>(sourceBytes.constData());
    const imageformat::Header header = imageformat::probeUpright(sourceData, std::size_t(sourceBytes.size()));
    // A header alone proves nothing: a small file claiming a huge size is scaled only once it
    // has decoded at that size. Real photos hold far more than a byte per hundred pixels.
    const cv::Size claimed(header.width, header.height);
    const bool plausible = header.acceptable() && qint64(sourceBytes.size()) * 100 >= qint64(claimed.area());
    cv::Size cutoutSize; // set by the job, read once it is over
    auto alphaJob = std::async(std::launch::async, [&targetFile, &cutoutSize, plausible, claimed] {
        cv::Mat alpha = imagefile::decodeAlpha(imagefile::read(targetFile));
        cutoutSize = alpha.size();
        if (plausible && !alpha.empty()) {
            cv::Mat scaled;
            cv::resize(alpha, scaled, claimed, 0, 0, cv::INTER_LANCZOS4);
            return scaled;
        }
        return alpha;
    });
    cv::Mat source, scaled;
    photometadata::Metadata metadata;
    const OutputChoices::Edges edges = request.choices.edges;
    bool alphaTaken = false;
    if (!sourceBytes.isEmpty()) {
        metadata = photometadata::read(sourceData, std::size_t(sourceBytes.size()));
        metadata.record = request.record.toStdString();
        // A JPEG's rows can be compressed as they come, unless the edges need the whole photo.
        JpegRows rows;
        if (format == Format::Png && edges == OutputChoices::Edges::Source && plausible && rows.start(sourceData, std::size_t(sourceBytes.size()))
            && rows.size() == claimed) {
            if (const auto report = streamMaster(request, rows, alphaJob, scaled, cutoutSize, metadata, threads))
                return *report;
            alphaTaken = true;
        }
        source = imagefile::decode(sourceBytes, cv::IMREAD_COLOR);
    }
    if (!alphaTaken)
        scaled = alphaJob.get();
    if (source.empty())
        report.outcome = ScaleAndMix::SourceUnreadable;
    else if (scaled.empty())
        report.outcome = ScaleAndMix::CutoutUnreadable;
    if (report.outcome != ScaleAndMix::Written)
        return report;
    noteProfile(metadata, report);
    if (scaled.size() != source.size()) {
        cv::Mat alpha = scaled;
        cv::resize(alpha, scaled, source.size(), 0, 0, cv::INTER_LANCZOS4);
    }

    finishPixels(source, scaled, request.choices, cutoutSize, edges == OutputChoices::Edges::Refine, threads);
    const std::vector<unsigned char> marker = format == Format::Png ? marksOf(request.choices, edges, cutoutSize) : std::vector<unsigned char>();
    // The other files are encoded beside the master, in the gaps its writer leaves (its
    // stripes written in order, its sync to disk).
    auto others = std::async(std::launch::async, [&] { return encodeOthersOrNone(request, source, scaled, metadata); });
    const bool written = writeFile(targetFile, [&](QIODevice &out) {
        return encode(out, format, masterPicture(format, source, scaled, request.choices), metadata, request.choices,
                      marker, true, threads);
    });
    const Others made = others.get();
    report.outcome = written ? writeOthers(made, request, report) : ScaleAndMix::WriteFailed;
    return report;
}

ScaleAndMix::Report saveEdited(const ScaleAndMix::Request &request, const cv::Mat &colour, const cv::Mat &alpha,
                               int threads)
{
    ScaleAndMix::Report report;
    if (targetFormatOf(request.target) != Format::Png) {
        report.outcome = ScaleAndMix::FormatHasNoAlpha;
        return report;
    }
    // What the master carried (profile, density, the photo's record) goes on with it.
    const QByteArray bytes = imagefile::read(request.target);
    photometadata::Metadata metadata =
        photometadata::read(reinterpret_cast<const unsigned char *>(bytes.constData()), std::size_t(bytes.size()));
    if (!request.record.isEmpty())
        metadata.record = request.record.toStdString();
    const masterfile::Marks was = masterfile::marksOf(bytes.left(masterfile::marksHeadBytes));
    std::vector<unsigned char> marks = marksOf(request.choices, was.edges, was.cutout);
    const std::vector<unsigned char> edited = masterfile::editedChunk();
    marks.insert(marks.end(), edited.begin(), edited.end());
    // The writer clears the hidden background of the master as it goes. The files beside it
    // are encoded meanwhile, from the same pixels cleared (a file on a background needs no
    // clearing), and written once the master is.
    auto others = std::async(std::launch::async, [&] { return encodeOthersCleared(request, colour, alpha, metadata); });
    const bool written = writeFile(request.target, [&](QIODevice &out) {
        return encode(out, Format::Png, {colour, alpha}, metadata, request.choices, marks, true, threads);
    });
    const Others made = others.get();
    report.outcome = written ? writeOthers(made, request, report) : ScaleAndMix::WriteFailed;
    return report;
}

} // namespace compositor
