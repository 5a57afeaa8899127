#include "thumbnails.h"

#include "imagefile.h"
#include "imageformat.h"
#include "masterfile.h"
#include "presetcheck.h"
#include "tilepicture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <opencv2/imgproc.hpp>

namespace {

const QString markKey = QStringLiteral("quorrin-mark");
const QString editedKey = QStringLiteral("quorrin-edited");

QImage imageOf(const cv::Mat &colour, const cv::Mat &alpha)
{
    cv::Mat rgba;
    const cv::Mat planes[] = {colour, alpha};
    rgba.create(colour.size(), CV_8UC4);
    const int fromTo[] = {2, 0, 1, 1, 0, 2, 3, 3}; // BGR + A to RGBA
    cv::mixChannels(planes, 2, &rgba, 1, fromTo, 4);
    return QImage(rgba.data, rgba.cols, rgba.rows, int(rgba.step), QImage::Format_RGBA8888)
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

Thumbnails::Thumbnails(int side, const QString &cacheFolder, QObject *parent)
    : QObject(parent)
    , side(side)
    , cacheFolder(cacheFolder.isEmpty()
                      ? QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/thumbnails")
                      : cacheFolder)
{
    qRegisterMetaType<Thumbnails::Tile>();
    // Each master is decoded on one thread; so many at once keep every core busy.
    workers.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    QDir().mkpath(this->cacheFolder);
}

Thumbnails::~Thumbnails()
{
    cancel();
    workers.waitForDone();
}

void Thumbnails::request(int index, const reviewitems::Item &item)
{
    const int asked = generation.load();
    workers.start([this, index, item, asked] {
        if (generation.load() != asked)
            return;
        Tile tile = make(item);
        if (generation.load() == asked)
            emit ready(index, tile);
    });
}

void Thumbnails::cancel()
{
    ++generation;
    workers.clear();
}

Thumbnails::Tile Thumbnails::make(const reviewitems::Item &item) const
{
    Tile tile = thumbnail(item);
    // Read from the file each time: it changes without its master when the choices do.
    if (choices.hasPreset() && !tile.image.isNull() && !item.variant.isEmpty()) {
        const QVector<PresetCheck> checks = QFileInfo::exists(item.variant) ? presetcheck::check(item.variant, choices)
                                                                            : presetcheck::noSubject();
        if (presetcheck::fallsShort(checks))
            tile.shortOf = presetcheck::shortfall(checks);
    }
    return tile;
}

Thumbnails::Tile Thumbnails::thumbnail(const reviewitems::Item &item) const
{
    Tile tile;
    const QString cached = reviewitems::thumbnailPath(cacheFolder, item.master, side);
    if (cached.isEmpty())
        return tile; // no result
    QImage kept;
    if (kept.load(cached, "PNG") && !kept.text(markKey).isEmpty()) {
        tile.mark = reviewitems::Mark(kept.text(markKey).toInt());
        if (tile.mark != reviewitems::Mark::NotAMaster)
            tile.image = kept.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        tile.edited = kept.text(editedKey) == QLatin1String("1");
        return tile;
    }
    cv::Mat colour, alpha;
    tile.mark = reviewitems::Mark::NotAMaster;
    try {
        // The picture the master carries, made as it was written; else the whole master decoded.
        // The file is read once for all of it.
        const QByteArray bytes = imagefile::read(item.master);
        tilepicture::Picture picture;
        cv::Size master;
        if (tilepicture::read(bytes, picture)
            && std::max(picture.colour.cols, picture.colour.rows) >= std::min(side, std::max(picture.master.width, picture.master.height))) {
            colour = picture.colour;
            alpha = picture.alpha;
            master = picture.master;
            tile.mark = reviewitems::markOf(picture.kept, picture.belowOpaque, std::uint64_t(master.area()));
        } else if (masterfile::read(bytes, colour, alpha, 1)) {
            master = alpha.size();
            tile.mark = reviewitems::markOf(alpha);
        }
        if (!master.empty()) {
            const imageformat::Header photo = imageformat::probeFile(QFile::encodeName(item.source).toStdString(), true);
            if (photo.width > 0 && cv::Size(photo.width, photo.height) != master)
                tile.mark = reviewitems::Mark::NotFullSize;
            const double scale = double(side) / std::max(colour.cols, colour.rows);
            if (scale < 1) {
                const cv::Size small(std::max(1, int(colour.cols * scale + 0.5)), std::max(1, int(colour.rows * scale + 0.5)));
                cv::resize(colour, colour, small, 0, 0, cv::INTER_AREA);
                cv::resize(alpha, alpha, small, 0, 0, cv::INTER_AREA);
            }
            tile.image = imageOf(colour, alpha);
            tile.edited = masterfile::isEdited(bytes);
        }
    } catch (...) {
        tile.image = QImage(); // too large to allocate: a tile that says so
    }
    QImage toKeep = tile.image.isNull() ? QImage(1, 1, QImage::Format_ARGB32) : tile.image;
    toKeep.setText(markKey, QString::number(int(tile.mark)));
    toKeep.setText(editedKey, tile.edited ? QStringLiteral("1") : QStringLiteral("0"));
    QSaveFile file(cached);
    if (file.open(QIODevice::WriteOnly) && toKeep.save(&file, "PNG"))
        file.commit();
    return tile;
}
