#include "batch.h"

#include "imageformat.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>

namespace {

// The first bytes of a file; enough for nearly every photo's header.
QByteArray head(const QString &path, qint64 bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(bytes) : QByteArray();
}

imageformat::Header uprightHeader(const QByteArray &bytes)
{
    return imageformat::probeUpright(reinterpret_cast<const unsigned char *>(bytes.constData()),
                                     std::size_t(bytes.size()));
}

bool isPhotoSuffix(const QString &suffix)
{
    for (const char *known : {"png", "jpg", "jpeg"})
        if (suffix.compare(QLatin1String(known), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

Batch::Batch(QObject *parent)
    : QObject(parent)
{
}

QString Batch::resultPath(const QString &source, const QString &outputText, bool singleFile)
{
    return singleFile ? outputText : QStringLiteral("%1/%2-no-bg.png").arg(outputText, QFileInfo(source).fileName());
}

Batch::Plan Batch::planFor(const QString &source, const QString &result)
{
    const QFileInfo resultInfo(result);
    if (!resultInfo.isFile() || resultInfo.lastModified() <= QFileInfo(source).lastModified())
        return Plan::Send;
    const QByteArray resultHead = head(result, 64);
    if (!imageformat::pngHasAlpha(reinterpret_cast<const unsigned char *>(resultHead.constData()),
                                  std::size_t(resultHead.size())))
        return Plan::Send;
    const imageformat::Header stored = uprightHeader(resultHead);
    imageformat::Header photo = uprightHeader(head(source, 64 * 1024));
    if (photo.width == 0) // a frame header behind large metadata
        photo = uprightHeader(head(source, 1024 * 1024));
    if (stored.width == 0 || photo.width == 0)
        return Plan::Send;
    return stored.width == photo.width && stored.height == photo.height ? Plan::Skip : Plan::Finish;
}

bool Batch::showsNothing(const QByteArray &cutout)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(cutout.constData());
    const imageformat::Header header = imageformat::probe(bytes, std::size_t(cutout.size()));
    if (!imageformat::pngHasAlpha(bytes, std::size_t(cutout.size())) || qint64(header.width) * header.height > 16'000'000)
        return false;
    const cv::Mat image = imageformat::decode(bytes, std::size_t(cutout.size()), cv::IMREAD_UNCHANGED);
    if (image.empty() || image.channels() != 4)
        return false;
    cv::Mat alpha;
    cv::extractChannel(image, alpha, 3);
    return cv::countNonZero(alpha) == 0;
}

Batch::Start Batch::start(const QString &input, const QString &outputText, bool redo)
{
    // A run still under way is replaced: the client drops what it had not sent.
    for (Run &run : runs)
        run.stopped = run.stopped || run.uploadsRunning;

    const QFileInfo inputInfo(input);
    QStringList sources;
    if (inputInfo.isFile()) {
        sources << inputInfo.filePath();
    } else if (inputInfo.isDir()) {
        qDebug() << "isDir";
        const auto entries = QDir(inputInfo.filePath()).entryInfoList(QDir::Files | QDir::CaseSensitive, QDir::NoSort);
        for (const QFileInfo &entry : entries)
            if (isPhotoSuffix(entry.suffix()))
                sources << entry.filePath();
        const int leftOut = entries.size() - sources.size();
        if (sources.isEmpty())
            emit line(QStringLiteral("文件夹里没有可发送的照片（png、jpg、jpeg）：%1").arg(inputInfo.filePath()));
        else if (leftOut > 0)
            emit line(QStringLiteral("文件夹里另有 %1 个文件不是 png、jpg 或 jpeg 照片，不会发送").arg(leftOut));
    } else {
        emit line(input.isEmpty() ? QStringLiteral("请先填写输入路径") : QStringLiteral("输入路径不存在：%1").arg(input));
    }
    if (sources.isEmpty())
        return {};

    Run run;
    run.generation = ++generation;
    Start started;
    for (const QString &source : sources) {
        Photo photo;
        photo.source = source;
        const QString result = resultPath(source, outputText, inputInfo.isFile());
        photo.plan = redo ? Plan::Send : planFor(source, result);
        if (photo.plan == Plan::Send) {
            started.uploads << source;
        } else {
            emit line(QString());
            emit line(source);
        }
        if (photo.plan == Plan::Skip) {
            emit line(QStringLiteral("结果已存在且完整，已跳过（删除结果文件或用 --redo 可重新发送）"));
            photo.outcome = Photo::Skipped;
            photo.finished = true;
        } else if (photo.plan == Plan::Finish) {
            emit line(QStringLiteral("结果只是服务的小图，不再上传，现在生成原尺寸图"));
            started.composites << qMakePair(source, result);
            photo.compositing = true;
            compositeOwners.push_back(run.generation);
        }
        run.photos << photo;
    }
    run.uploadsRunning = !started.uploads.isEmpty();
    if (!run.uploadsRunning)
        emit line(QStringLiteral("\n全部完成！"));
    runs.push_back(run);
    reportProgress();
    finishIfDone(runs.back());
    return started;
}

void Batch::stop()
{
    for (Run &run : runs)
        run.stopped = run.stopped || run.uploadsRunning;
}

// The client reports its batches in order, so what it says belongs to the oldest run it
// has not yet let go of.
Batch::Run *Batch::uploadingRun()
{
    for (Run &run : runs)
        if (run.uploadsRunning)
            return &run;
    return nullptr;
}

Batch::Photo *Batch::sentPhoto(const QString &source)
{
    Run *run = uploadingRun();
    if (!run)
        return nullptr;
    for (Photo &photo : run->photos)
        if (photo.source == source && photo.plan == Plan::Send)
            return &photo;
    return nullptr;
}

void Batch::uploadFinished(const QString &source, bool succeeded, const QString &reason)
{
    Photo *photo = sentPhoto(source);
    if (!photo)
        return;
    if (!succeeded) {
        photo->outcome = Photo::Failed;
        photo->reason = reason;
    }
    photo->finished = true;
    reportProgress();
}

void Batch::cutoutSaved(const QString &source)
{
    Photo *photo = sentPhoto(source);
    compositeOwners.push_back(photo ? uploadingRun()->generation : 0);
    if (photo)
        photo->compositing = true;
}

void Batch::saveFailed(const QString &source, const QString &line)
{
    if (Photo *photo = sentPhoto(source)) {
        photo->outcome = Photo::Failed;
        photo->reason = line;
    }
}

void Batch::compositeFinished(const QString &source, const QString &failure)
{
    if (compositeOwners.empty())
        return;
    const int owner = compositeOwners.front();
    compositeOwners.pop_front();
    const auto run = std::find_if(runs.begin(), runs.end(), [owner](const Run &run) { return run.generation == owner; });
    if (run == runs.end())
        return;
    const auto found = std::find_if(run->photos.begin(), run->photos.end(),
                                    [&](const Photo &photo) { return photo.source == source && photo.compositing; });
    if (found == run->photos.end())
        return;
    found->compositing = false;
    found->finished = true;
    if (failure.isEmpty()) {
        found->outcome = Photo::Saved;
    } else {
        found->outcome = Photo::Failed;
        found->reason = QStringLiteral("未能生成原尺寸图（%1），已保留服务的小图").arg(failure);
        emit line(QStringLiteral("%1：%2").arg(QFileInfo(source).fileName(), found->reason));
    }
    reportProgress();
    finishIfDone(*run);
}

void Batch::uploadsEnded()
{
    if (Run *run = uploadingRun()) {
        run->uploadsRunning = false;
        finishIfDone(*run);
    }
}

void Batch::finishIfDone(Run &run)
{
    if (run.uploadsRunning
        || std::any_of(run.photos.begin(), run.photos.end(), [](const Photo &photo) { return photo.compositing; }))
        return;
    const Run done = run;
    runs.erase(std::find_if(runs.begin(), runs.end(), [&](const Run &each) { return each.generation == done.generation; }));
    writeAccount(done);
    reportProgress();
}

void Batch::writeAccount(const Run &run)
{
    int saved = 0, skipped = 0, failed = 0, unsent = 0;
    for (const Photo &photo : run.photos) {
        saved += photo.outcome == Photo::Saved;
        skipped += photo.outcome == Photo::Skipped;
        failed += photo.outcome == Photo::Failed;
        unsent += photo.plan == Plan::Send && !photo.finished;
    }
    QString counts = QStringLiteral("%1 %2 张：保存 %3 张，跳过 %4 张，失败 %5 张")
                         .arg(run.stopped ? QStringLiteral("本批已中止，共") : QStringLiteral("本批共"))
                         .arg(run.photos.size())
                         .arg(saved)
                         .arg(skipped)
                         .arg(failed);
    if (unsent > 0)
        counts += QStringLiteral("，未发送 %1 张").arg(unsent);
    emit line(counts);
    if (failed == 0)
        emit line(QStringLiteral("没有失败的照片。"));
    for (const Photo &photo : run.photos)
        if (photo.outcome == Photo::Failed)
            emit line(QStringLiteral("失败：%1：%2").arg(QFileInfo(photo.source).fileName(), photo.reason));
}

// The newest run's progress; none once every run is over.
void Batch::reportProgress()
{
    if (runs.empty()) {
        emit progress(0, 0);
        return;
    }
    const QVector<Photo> &photos = runs.back().photos;
    emit progress(int(std::count_if(photos.begin(), photos.end(), [](const Photo &photo) { return photo.finished; })),
                  photos.size());
}
