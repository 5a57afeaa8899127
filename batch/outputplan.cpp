#include "outputplan.h"

#include "imageformat.h"
#include "masterfile.h"
#include "outputnames.h"
#include "provenance.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <opencv2/imgcodecs.hpp>

#include <cerrno>

#include <unistd.h>

namespace outputplan {

namespace {

// The first bytes of a file; enough for nearly every photo's header.
QByteArray head(const QString &path, qint64 bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(bytes) : QByteArray();
}

const unsigned char *bytesOf(const QByteArray &bytes)
{
    return reinterpret_cast<const unsigned char *>(bytes.constData());
}

std::string localPath(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

// The size of a TIFF or WebP result with alpha, or none: their headers say neither plainly
// (a TIFF's directory may follow its pixels), so the file is decoded.
cv::Size decodedSize(const QString &result, bool withAlpha)
{
    QFile file(result);
    if (!file.open(QIODevice::ReadOnly) || file.size() > (qint64(1) << 30))
        return {};
    const QByteArray bytes = file.readAll();
    const cv::Mat image = imageformat::decode(bytesOf(bytes), std::size_t(bytes.size()), cv::IMREAD_UNCHANGED);
    return image.channels() == 4 || (!withAlpha && !image.empty()) ? image.size() : cv::Size();
}

} // namespace




bool isUnsafeTarget(const QString &result)
{
    const QFileInfo info(result);
    return info.isSymLink() || (info.exists() && !info.isFile() && !info.isDir());
}

QString setAside(const QString &result)
{
    const QByteArray from = QFile::encodeName(result);
    for (int n = 1; n < 1000; ++n) {
        const QString aside = result + QStringLiteral(".damaged") + (n > 1 ? QString::number(n) : QString());
        // A new name for the same file, which link() never gives through a link or over any
        // name already there (a link to nowhere included); then the old name goes.
        if (::link(from.constData(), QFile::encodeName(aside).constData()) == 0) {
            ::unlink(from.constData());
            return aside;
        }
        if (errno != EEXIST)
            return {};
    }
    return {};
}

bool isThePhoto(const QString &result, const QString &source)
{
    const QFileInfo target(result);
    return target.exists() && target.canonicalFilePath() == QFileInfo(source).canonicalFilePath();
}

bool isCutShort(const QString &result)
{
    QFile file(result);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // A PNG ends with an empty IEND chunk, a JPEG of ours with its end marker; a copy or a
    // write cut short has neither.
    const QByteArray start = file.read(8);
    QByteArray ending;
    if (start.startsWith("\x89PNG\r\n\x1a\n"))
        ending = QByteArray("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    else if (start.startsWith("\xff\xd8") && outputnames::formatOf(result) == TargetFormat::Jpeg)
        ending = QByteArray("\xff\xd9", 2);
    else
        return false;
    return file.size() < start.size() + ending.size() || !file.seek(file.size() - ending.size())
           || file.read(ending.size()) != ending;
}


namespace {

Plan basePlan(const QString &source, const QString &result, const OutputChoices &choices)
{
    const QFileInfo resultInfo(result);
    if (result.isEmpty() || !resultInfo.isFile())
        return Plan::Send;
    // A result that says what it was made from is complete only for that photo; one made
    // before results said so is judged by its time, as it always was.
    // Touched up by hand: what the service gave again would undo the user's work.
    if (outputnames::formatOf(result) == TargetFormat::Png && masterfile::isEdited(result) && !isCutShort(result))
        return Plan::Skip;
    const provenance::Record made = provenance::readFrom(result);
    if (made.valid() ? made != provenance::of(source) : resultInfo.lastModified() <= QFileInfo(source).lastModified())
        return Plan::Send;
    const QByteArray resultHead = head(result, 64);
    const imageformat::Header stored = imageformat::probe(bytesOf(resultHead), std::size_t(resultHead.size()));
    const bool cutoutWithAlpha = imageformat::pngHasAlpha(bytesOf(resultHead), std::size_t(resultHead.size()));
    if (outputnames::formatOf(result) == TargetFormat::CutoutOnly)
        return cutoutWithAlpha && !isCutShort(result) ? Plan::Skip : Plan::Send;
    const imageformat::Header photo = imageformat::probeFile(localPath(source), true);
    if (photo.width == 0)
        return Plan::Send;
    const cv::Size photoSize(photo.width, photo.height);
    if (outputnames::formatOf(result) == TargetFormat::Jpeg) {
        if (cutoutWithAlpha)
            return isCutShort(result) ? Plan::Send : Plan::Finish;
        // The program's own JPEGs carry no orientation.
        const imageformat::Header jpeg = imageformat::probeFile(localPath(result));
        return jpeg.format == imageformat::Format::Jpeg && cv::Size(jpeg.width, jpeg.height) == photoSize && !isCutShort(result)
                   ? Plan::Skip
                   : Plan::Send;
    }
    if (stored.format == imageformat::Format::Png) {
        if (!cutoutWithAlpha || stored.width == 0 || isCutShort(result))
            return Plan::Send;
        return cv::Size(stored.width, stored.height) == photoSize ? Plan::Skip : Plan::Finish;
    }
    if (stored.format == imageformat::Format::Tiff || stored.format == imageformat::Format::Webp)
        return decodedSize(result, !choices.hasBackground || stored.format == imageformat::Format::Tiff) == photoSize
                   ? Plan::Skip
                   : Plan::Send;
    return Plan::Send;
}

} // namespace

Plan planFor(const QString &source, const QString &result)
{
    return basePlan(source, result, {});
}

Plan planFor(const QString &source, const QString &result, const OutputChoices &choices)
{
    const Plan plan = basePlan(source, result, choices);
    // A name that keeps the service's cut-out gets nothing else made beside it.
    if (plan != Plan::Skip || outputnames::formatOf(result) == TargetFormat::CutoutOnly)
        return plan;
    const QDateTime made = QFileInfo(result).lastModified();
    bool missing = false;
    for (const QString &other : {outputnames::variantPath(result, choices), outputnames::maskPath(result, choices)}) {
        const QFileInfo info(other);
        missing = missing || (!other.isEmpty() && other != result && (!info.isFile() || info.lastModified() < made));
    }
    // Edges cleaned or refined, or back to the photo's own, and the hidden background cleared
    // or kept, as the choices say. A refined alpha stays: only the service could undo it.
    bool edgesOtherwise = false;
    // A master touched up by hand keeps its colours: only its photo could give them again.
    if (outputnames::formatOf(result) == TargetFormat::Png && !masterfile::isEdited(result)) {
        const masterfile::Marks marks = masterfile::marksOf(head(result, masterfile::marksHeadBytes));
        const bool refined = marks.edges == OutputChoices::Edges::Refine;
        edgesOtherwise = (choices.hidden == OutputChoices::Hidden::Keep) != marks.hiddenKept
                         || (choices.edges == OutputChoices::Edges::Refine && !refined)
                         || (!refined && (choices.edges == OutputChoices::Edges::Source) != (marks.edges == OutputChoices::Edges::Source));
    }
    if (!missing && !edgesOtherwise)
        return Plan::Skip;
    // A result laid on a background has lost its alpha: only the service can give it again.
    // A WebP was found complete with alpha already, unless a background let it off.
    const bool holdsAlpha = outputnames::formatOf(result) == TargetFormat::Png || outputnames::formatOf(result) == TargetFormat::Tiff
                            || (outputnames::formatOf(result) == TargetFormat::Webp && (!choices.hasBackground || !decodedSize(result, true).empty()));
    return holdsAlpha ? Plan::Derive : Plan::Send;
}

} // namespace outputplan
