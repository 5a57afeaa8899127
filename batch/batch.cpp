#include "batch.h"

#include "imageformat.h"
#include "masterfile.h"
#include "batchtexts.h"
#include "cutoutfile.h"
#include "outputnames.h"
#include "photocheck.h"
#include "provenance.h"
#include "removebgconn.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>

using outputplan::Plan;

int BatchAccount::count(PhotoOutcome::Kind kind) const
{
    return int(std::count_if(photos.begin(), photos.end(), [kind](const PhotoOutcome &photo) { return photo.kind == kind; }));
}

double creditsPerUpload(UploadSize size)
{
    return size == UploadSize::Preview ? 0.25 : 1.0;
}

int BatchAccount::fallenShort() const
{
    return int(std::count_if(photos.begin(), photos.end(), [](const PhotoOutcome &photo) { return photo.fallsShort(); }));
}

namespace {

PhotoOutcome::Failure failureOf(UploadOutcome::Kind kind)
{
    switch (kind) {
    case UploadOutcome::KeyRefused:
        return PhotoOutcome::KeyRefused;
    case UploadOutcome::Refused:
        return PhotoOutcome::Refused;
    case UploadOutcome::NotAnImage:
        return PhotoOutcome::NotAnImage;
    case UploadOutcome::TooLarge:
        return PhotoOutcome::TooLarge;
    case UploadOutcome::Stalled:
        return PhotoOutcome::Stalled;
    case UploadOutcome::Damaged:
        return PhotoOutcome::Damaged;
    default:
        return PhotoOutcome::Network;
    }
}

QString fileName(const QString &path)
{
    return QFileInfo(path).fileName();
}


} // namespace

Batch::Batch(RemoveBGConn *client, QObject *parent)
    : QObject(parent)
    , uploader(client)
    , mixer(new ScaleAndMix)
    , worker(new QThread)
{
    qRegisterMetaType<PhotoOutcome>();
    qRegisterMetaType<BatchAccount>();
    connect(uploader, &RemoveBGConn::keyChecked, this, &Batch::keyChecked);
    connect(uploader, &RemoveBGConn::photoFinished, this, &Batch::uploadFinished);
    connect(uploader, &RemoveBGConn::uploadsEnded, this, &Batch::uploadsEnded);
    connect(mixer, &ScaleAndMix::composited, this, &Batch::composited);
    connect(uploader, &RemoveBGConn::balanceAnswered, this, [this](int clientBatch, bool known, double balance) {
        Run *run = runOfClientBatch(clientBatch);
        if (!run)
            return;
        run->balanceQuestion = Run::Answered;
        run->balanceKnown = known;
        run->balanceLeft = balance;
        finishIfDone(run->id);
    });
    connect(uploader, &RemoveBGConn::connectInfo, this, &Batch::say);
    connect(uploader, &RemoveBGConn::connectError, this, &Batch::say);
    uploader->setHoldAfterKeyCheck(true);
    uploader->setPreparation([](const QByteArray &photo, UploadSize size) {
        photocheck::Upload upload = photocheck::prepare(photo, size == UploadSize::Preview);
        return PreparedUpload{upload.refusal, upload.damaged, std::move(upload.made)};
    });
    uploader->moveToThread(worker);
    mixer->moveToThread(worker);
}

Batch::~Batch()
{
    // The worker objects are deleted on their own thread as it ends. A thread that never
    // ran is started once so that they have one to be deleted on.
    connect(worker, &QThread::finished, uploader, &QObject::deleteLater);
    connect(worker, &QThread::finished, mixer, &QObject::deleteLater);
    if (!worker->isRunning())
        worker->start();
    worker->quit();
    worker->wait();
    delete worker;
}

void Batch::connectWorkers()
{
    connect(this, &Batch::addTask, uploader, &RemoveBGConn::postData);
    connect(this, &Batch::clearTasks, uploader, &RemoveBGConn::clearData);
    connect(this, &Batch::smallToBig, mixer, &ScaleAndMix::toBigPic);
}

void Batch::announceChoices()
{
    const QString summary = choices.summary();
    if (!summary.isEmpty())
        say(summary);
}

void Batch::start(const QString &input, const QString &output, const QString &key)
{
    worker->start(QThread::InheritPriority);
    announceChoices();

    const QFileInfo inputInfo(input);
    QStringList sources;
    if (inputInfo.isFile()) {
        sources << inputInfo.filePath();
    } else if (inputInfo.isDir()) {
        qDebug() << "isDir";
        const outputnames::FolderScan scan = outputnames::photosIn(inputInfo.filePath());
        for (const QString &photo : scan.photos)
            if (shard.takes(QFileInfo(photo).fileName()))
                sources << photo;
        if (!shard.isWhole())
            say(tr("分片 %1/%2：文件夹里 %3 张照片中的 %4 张属于这一份")
                    .arg(shard.index)
                    .arg(shard.count)
                    .arg(scan.photos.size())
                    .arg(sources.size()));
        const int ownResults = scan.ownResults, leftOut = scan.others;
        if (scan.photos.isEmpty())
            say(tr("文件夹里没有可发送的照片（png、jpg、jpeg）：%1").arg(inputInfo.filePath()));
        else if (ownResults > 0)
            say(tr("文件夹里另有 %1 个文件不是 png、jpg 或 jpeg 照片（其中 %2 个是本程序的结果），不会发送")
                          .arg(leftOut)
                          .arg(ownResults));
        else if (leftOut > 0)
            say(tr("文件夹里另有 %1 个文件不是 png、jpg 或 jpeg 照片，不会发送").arg(leftOut));
    } else {
        say(input.isEmpty() ? tr("请先填写输入路径") : tr("输入路径不存在：%1").arg(input));
        return;
    }

    begin(sources, output, inputInfo.isFile(), key);
}

void Batch::startPhotos(const QStringList &sources, const QString &output, bool singleFile, const QString &key)
{
    worker->start(QThread::InheritPriority);
    announceChoices();
    begin(sources, output, singleFile, key);
}

void Batch::begin(const QStringList &sources, const QString &output, bool singleFile, const QString &key)
{
    // A batch still sending is replaced: the client lets go of what it had not sent.
    for (Run &run : runs)
        run.stopped = run.stopped || (run.clientBatch > 0 && !run.uploadsEnded);
    emit clearTasks();
    if (sources.isEmpty())
        return;

    Run run;
    run.id = ++lastRunId;
    run.choices = choices;
    run.size = uploadSize;
    run.key = key;
    int skipped = 0, editedKept = 0;
    for (const QString &source : sources) {
        Photo photo;
        photo.outcome.source = source;
        const QString result = outputnames::resultPath(source, output, singleFile);
        // Fixed now, whatever the output field or the current folder say later.
        photo.outcome.result = result.isEmpty() ? result : QFileInfo(result).absoluteFilePath();
        // Anyone who can write to a shared folder could otherwise have a batch write over a
        // file of the user's; and the photo itself is never a place to save to. Such a photo
        // is refused before it is paid for.
        const bool unsafe = outputplan::isUnsafeTarget(photo.outcome.result);
        if (unsafe || outputplan::isThePhoto(photo.outcome.result, source)) {
            const BilingualText text = unsafe ? batchtexts::unsafeTarget(source) : batchtexts::cannotCreate(source);
            photo.outcome.reason = text.shown;
            photo.outcome.reasonForReport = text.original;
            run.planLines << text.shown;
            run.refused << run.photos.size();
            run.photos << photo;
            continue;
        }
        // Not even --redo undoes what the user touched up by hand.
        const bool keptEdit = redo && masterfile::isEdited(photo.outcome.result);
        editedKept += keptEdit ? 1 : 0;
        photo.plan = redo && !keptEdit ? Plan::Send : outputplan::planFor(source, photo.outcome.result, choices);
        // Before the upload reads it: a photo changed after this no longer matches its results.
        if (photo.plan != Plan::Skip)
            photo.record = provenance::of(source).text();
        if (photo.plan == Plan::Send && !photo.outcome.result.isEmpty() && outputplan::isCutShort(photo.outcome.result)) {
            // Kept under another name, never deleted: it may be all there is of an earlier result.
            const QString aside = outputplan::setAside(photo.outcome.result);
            if (!aside.isEmpty())
                run.planLines << tr("%1：已有的结果不完整，已改名为 %2，重新发送").arg(fileName(source), fileName(aside));
        }
        if (photo.plan == Plan::Send) {
            run.uploads << run.photos.size();
        } else if (photo.plan == Plan::Skip) {
            photo.outcome.kind = PhotoOutcome::Skipped;
            ++skipped;
        } else {
            run.planLines << QString() << source
                          << (photo.plan == Plan::Finish ? tr("结果只是服务的小图，不再上传，现在生成原尺寸图")
                                                         : tr("原尺寸结果已完整，不再上传，现在按输出选项生成文件"));
            run.finishes << run.photos.size();
            run.finishEnds << run.planLines.size();
        }
        run.photos << photo;
    }
    if (editedKept > 0) {
        run.planLines.prepend(tr("%1 张照片的结果经过手工修改，--redo 不重做它们（把结果移走可重新发送）").arg(editedKept));
        for (int &end : run.finishEnds)
            ++end;
    }
    if (skipped > 0) {
        run.planLines.prepend(tr("已跳过 %1 张结果已存在且完整的照片（删除结果文件或用 --redo 可重新发送）").arg(skipped));
        for (int &end : run.finishEnds)
            ++end;
    }
    if (run.uploads.isEmpty())
        run.planLines << tr("\n全部完成！");
    else
        run.clientBatch = ++lastClientBatch;
    runs.push_back(run);
    reportProgress();

    const Run &added = runs.back();
    if (added.uploads.isEmpty()) {
        announce(runs.back());
        return;
    }
    const UploadSize size = added.size;
    QMetaObject::invokeMethod(uploader, [this, size] { uploader->setUploadSize(size); }, Qt::QueuedConnection);
    // The lines of the photos not sent wait for the key check, so that the balance comes first.
    for (int i = 0; i < added.uploads.size(); ++i)
        emit addTask(added.photos.at(added.uploads.at(i)).outcome.source, key, i == added.uploads.size() - 1);
}

void Batch::stop()
{
    const bool sending = std::any_of(runs.begin(), runs.end(), [](const Run &run) {
        return run.clientBatch > 0 && !run.uploadsEnded && !run.stopped;
    });
    emit clearTasks();
    // At once, not behind the lines that wait for composites: the user has just pressed Stop.
    emit line(tr("已中止任务！"));
    if (sending) {
        for (Run &run : runs)
            if (run.clientBatch > 0 && !run.uploadsEnded)
                run.stopped = true;
    } else if (inFlight() != 0) {
        QMetaObject::invokeMethod(uploader, &RemoveBGConn::dropInFlight, Qt::QueuedConnection);
        emit line(tr("已放弃已发送、尚未收到抠图的照片"));
    }
    emit inFlightChanged(inFlight());
}

int Batch::inFlight() const
{
    int count = 0;
    for (const Run &run : runs) {
        if (run.clientBatch == 0)
            continue;
        if (!run.uploadsEnded || run.lateLeft < 0)
            return -1;
        count += run.lateLeft;
    }
    return count;
}

Batch::Run *Batch::runWithId(int id)
{
    const auto found = std::find_if(runs.begin(), runs.end(), [id](const Run &run) { return run.id == id; });
    return found == runs.end() ? nullptr : &*found;
}

Batch::Run *Batch::runOfClientBatch(int clientBatch)
{
    const auto found = std::find_if(runs.begin(), runs.end(), [clientBatch](const Run &run) {
        return clientBatch > 0 && run.clientBatch == clientBatch;
    });
    return found == runs.end() ? nullptr : &*found;
}

void Batch::announce(Run &run)
{
    if (run.announced)
        return;
    run.announced = true;
    const QStringList lines = run.planLines;
    for (int i = 0, finish = 0; i <= lines.size(); ++i) {
        for (; finish < run.finishes.size() && run.finishEnds.at(finish) == i; ++finish)
            composite(run, run.finishes.at(finish));
        if (i < lines.size())
            say(lines.at(i));
    }
    for (int index : run.refused) {
        Photo &photo = run.photos[index];
        end(photo, PhotoOutcome::Failed, PhotoOutcome::SaveFailed, {photo.outcome.reason, photo.outcome.reasonForReport});
    }
    finishIfDone(run.id);
}

void Batch::composite(Run &run, int photo)
{
    run.photos[photo].compositing = true;
    composites.push_back({++lastComposite, run.id, photo, run.photos.at(photo).outcome.result});
    held.push_back({lastComposite, {}});
    const PhotoOutcome &outcome = run.photos.at(photo).outcome;
    mixer->expect({outcome.source, outcome.result, run.choices, run.photos.at(photo).plan == Plan::Derive,
                   run.photos.at(photo).record, outputnames::variantPath(outcome.result, run.choices),
                   outputnames::maskPath(outcome.result, run.choices)});
    emit smallToBig(run.photos.at(photo).outcome.source, run.photos.at(photo).outcome.result);
}

void Batch::keyChecked(int clientBatch, bool balanceKnown, double balance)
{
    Run *run = runOfClientBatch(clientBatch);
    if (!run) {
        QMetaObject::invokeMethod(uploader, [this, clientBatch] { uploader->goAhead(clientBatch, false); }, Qt::QueuedConnection);
        return;
    }
    const int runId = run->id;
    run->balanceAtStart = balanceKnown;
    announce(*run);
    run = runWithId(runId);
    if (!run)
        return;
    SpendingQuestion question;
    question.toSend = run->uploads.size();
    question.skipped = run->photos.size() - question.toSend;
    question.cost = question.toSend * creditsPerUpload(run->size);
    question.balance = balance;
    if (asksBeforeSpending && balanceKnown && !run->stopped && (question.cost > balance || question.toSend > 50)) {
        askingFor = clientBatch;
        emit spendingQuestion(question);
        return;
    }
    QMetaObject::invokeMethod(uploader, [this, clientBatch] { uploader->goAhead(clientBatch, true); }, Qt::QueuedConnection);
}

void Batch::answerSpending(bool send)
{
    const int clientBatch = askingFor;
    askingFor = 0;
    if (clientBatch == 0)
        return;
    if (!send)
        say(tr("已取消：本批没有发送任何照片"));
    QMetaObject::invokeMethod(uploader, [this, clientBatch, send] { uploader->goAhead(clientBatch, send); }, Qt::QueuedConnection);
}

void Batch::uploadFinished(const UploadOutcome &outcome)
{
    Run *run = runOfClientBatch(outcome.batch);
    if (!run || outcome.index < 0 || outcome.index >= run->uploads.size())
        return;
    const int runId = run->id;
    const int index = run->uploads.at(outcome.index);
    Photo &photo = run->photos[index];
    // A late photo of a batch that another has replaced stays out of that batch's lines.
    const bool quiet = outcome.late && run != &runs.back();
    if (outcome.kind == UploadOutcome::CutOut) {
        ++run->cutouts;
        save(*run, index, outcome.cutout, outcome.late, quiet);
    } else if (outcome.kind == UploadOutcome::Abandoned || outcome.kind == UploadOutcome::CreditSpent) {
        // The photo a spent credit stopped at was not charged: it is one more to send later.
        end(photo, PhotoOutcome::Unsent);
    } else {
        photo.outcome.explanation = outcome.explanation;
        if (outcome.late && !quiet)
            say(tr("%1：%2").arg(fileName(photo.outcome.source), outcome.reason));
        end(photo, PhotoOutcome::Failed, failureOf(outcome.kind), {outcome.reason, outcome.reasonForReport});
    }
    if (outcome.late) {
        run = runWithId(runId);
        run->lateLeft = std::max(0, run->lateLeft - 1);
        emit inFlightChanged(inFlight());
    }
    reportProgress();
    finishIfDone(runId);
}

void Batch::save(Run &run, int index, const QByteArray &cutout, bool late, bool quiet)
{
    Photo &photo = run.photos[index];
    const QString &source = photo.outcome.source;
    const QString &result = photo.outcome.result;
    const auto fail = [&](const BilingualText &text) {
        if (!quiet)
            say(text.shown);
        end(photo, PhotoOutcome::Failed, PhotoOutcome::SaveFailed, text);
    };
    const BilingualText failure = cutoutfile::save(cutout, result, source, photo.record);
    if (!failure.shown.isEmpty()) {
        fail(failure);
        return;
    }
    photo.noSubject = cutoutfile::showsNothing(cutout);
    const bool keepsCutout = outputnames::formatOf(result) == TargetFormat::CutoutOnly;
    if (!quiet) {
        say(late ? tr("%1：保存成功！").arg(fileName(source)) : tr("保存成功！"));
        if (photo.noSubject)
            say(tr("警告：服务没有在这张照片里找到主体，抠图完全透明"));
        if (keepsCutout)
            say(tr("%1：结果文件的格式存不下透明度，已保留服务的小图").arg(fileName(source)));
    }
    if (keepsCutout)
        end(photo, photo.noSubject ? PhotoOutcome::NoSubject : PhotoOutcome::Saved);
    else
        composite(run, index);
}

void Batch::uploadsEnded(const UploadsEnded &ended)
{
    Run *run = runOfClientBatch(ended.batch);
    if (!run)
        return;
    const int runId = run->id;
    run->uploadsEnded = true;
    run->lateLeft = ended.stillInFlight;
    run->balanceKnown = ended.balanceKnown;
    run->keyRefused = ended.keyRefused;
    run->balanceLeft = ended.balanceLeft;
    announce(*run);
    run = runWithId(runId);
    if (run && run->stopped && ended.stillInFlight > 0 && run == &runs.back())
        say(tr("正在等待已发送的 %1 张照片完成，再按一次中止则放弃它们").arg(ended.stillInFlight));
    emit inFlightChanged(inFlight());
    finishIfDone(runId);
}

void Batch::composited(const QString &, const QString &target, const ScaleAndMix::Report &report)
{
    auto found = std::find_if(composites.begin(), composites.end(), [&](const Composite &each) { return each.target == target; });
    if (found == composites.end())
        return;
    const Composite done = *found;
    composites.erase(found);
    const auto barrier = [&] {
        return std::find_if(held.begin(), held.end(), [&](const Held &each) { return each.composite == done.id; });
    };
    Run *run = runWithId(done.run);
    if (!run) {
        held.erase(barrier());
        flushHeld();
        return;
    }
    // What the composite says, and its photo's end, go where it was begun.
    resolving = done.id;
    Photo &photo = run->photos[done.photo];
    photo.compositing = false;
    photo.outcome.files = report.written;
    const QString name = fileName(photo.outcome.source);
    if (!report.profileLeftOut.isEmpty())
        say(tr("%1：照片的颜色配置文件不可用（%2），结果里没有它").arg(name, report.profileLeftOut));
    if (report.nothingToCrop && report.checks.isEmpty())
        say(tr("%1：没有找到主体，结果没有裁剪").arg(name));
    photo.outcome.checks = report.checks;
    if (presetcheck::fallsShort(report.checks))
        say(tr("%1：不合预设要求：%2").arg(name, presetcheck::shortfall(report.checks)));
    if (report.outcome == ScaleAndMix::Written) {
        end(photo, photo.plan == Plan::Finish   ? PhotoOutcome::Finished
                   : photo.plan == Plan::Derive ? PhotoOutcome::Derived
                   : photo.noSubject            ? PhotoOutcome::NoSubject
                                                : PhotoOutcome::Saved);
    } else {
        const BilingualText reason = batchtexts::compositeFailure(report.outcome, photo.plan == Plan::Derive);
        say(tr("%1：%2").arg(name, reason.shown));
        end(photo, PhotoOutcome::Failed, PhotoOutcome::CompositeFailed, reason);
    }
    resolving = 0;
    held.erase(barrier());
    flushHeld();
    reportProgress();
    finishIfDone(done.run);
}

void Batch::end(Photo &photo, PhotoOutcome::Kind kind, PhotoOutcome::Failure failure, const BilingualText &reason)
{
    photo.outcome.kind = kind;
    photo.outcome.failure = failure;
    photo.outcome.reason = reason.shown;
    photo.outcome.reasonForReport = reason.original;
    const PhotoOutcome outcome = photo.outcome;
    post([this, outcome] { emit photoEnded(outcome); });
}

void Batch::finishIfDone(int runId)
{
    Run *run = runWithId(runId);
    if (!run || (run->clientBatch > 0 && (!run->uploadsEnded || run->lateLeft > 0))
        || std::any_of(run->photos.begin(), run->photos.end(), [](const Photo &photo) { return photo.compositing; }))
        return;
    // A stopped batch's client asked for no balance at its end: it is asked now, once, as a
    // whole batch's is; an answer that does not come is said nothing of.
    if (run->balanceQuestion == Run::Asked)
        return;
    if (run->stopped && run->balanceAtStart && !run->balanceKnown && !run->keyRefused && run->balanceQuestion == Run::NotAsked) {
        run->balanceQuestion = Run::Asked;
        const int clientBatch = run->clientBatch;
        const QString key = run->key;
        QMetaObject::invokeMethod(uploader, [this, clientBatch, key] { uploader->askBalance(clientBatch, key); }, Qt::QueuedConnection);
        return;
    }
    BatchAccount account;
    account.stopped = run->stopped;
    account.balanceKnown = run->balanceKnown;
    account.keyRefused = run->keyRefused
                         || std::any_of(run->photos.begin(), run->photos.end(),
                                        [](const Photo &photo) { return photo.outcome.failure == PhotoOutcome::KeyRefused; });
    account.balanceLeft = run->balanceLeft;
    account.size = run->size;
    account.credits = run->cutouts * creditsPerUpload(run->size);
    for (Photo &photo : run->photos) {
        if (photo.outcome.kind == PhotoOutcome::Pending)
            end(photo, PhotoOutcome::Unsent);
        account.photos << photo.outcome;
    }
    const bool newest = run == &runs.back();
    runs.erase(std::find_if(runs.begin(), runs.end(), [runId](const Run &each) { return each.id == runId; }));
    writeAccount(account);
    if (newest)
        emit progress(account.photos.size() - account.count(PhotoOutcome::Unsent), account.photos.size());
    post([this, account] { emit finished(account); });
}

void Batch::writeAccount(const BatchAccount &account)
{
    if (!writesAccounts)
        return;
    const QStringList lines = batchtexts::accountLines(account);
    for (const QString &text : lines)
        say(text);
}

BatchAccount Batch::accountSoFar() const
{
    BatchAccount account;
    if (runs.empty())
        return account;
    account.stopped = true;
    for (const Photo &photo : runs.back().photos) {
        account.photos << photo.outcome;
        if (photo.outcome.kind == PhotoOutcome::Pending)
            account.photos.last().kind = PhotoOutcome::Unsent;
    }
    return account;
}

void Batch::say(const QString &text)
{
    post([this, text] { emit line(text); });
}

void Batch::post(std::function<void()> signal)
{
    if (resolving != 0) {
        const auto at = std::find_if(held.begin(), held.end(), [this](const Held &each) { return each.composite == resolving; });
        held.insert(at, {0, std::move(signal)});
    } else if (held.empty()) {
        signal();
    } else {
        held.push_back({0, std::move(signal)});
    }
}

void Batch::flushHeld()
{
    while (!held.empty() && held.front().composite == 0) {
        const std::function<void()> signal = std::move(held.front().signal);
        held.pop_front();
        signal();
    }
}

void Batch::reportProgress()
{
    if (runs.empty())
        return;
    const QVector<Photo> &photos = runs.back().photos;
    emit progress(int(std::count_if(photos.begin(), photos.end(), [](const Photo &photo) {
                      return photo.outcome.kind != PhotoOutcome::Pending && photo.outcome.kind != PhotoOutcome::Unsent;
                  })),
                  photos.size());
}
