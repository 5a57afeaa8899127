#include "headlessbatch.h"

#include "batchtexts.h"
#include "jsonreport.h"
#include "outcomelines.h"
#include "outputnames.h"
#include "outputplan.h"
#include "printline.h"
#include "removebgconn.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QDir>
#include <QFileInfo>

#include <algorithm>

HeadlessBatch::HeadlessBatch(const Options &options, const QString &key, QObject *parent)
    : QObject(parent)
    , options(options)
    , key(key)
{
    RemoveBGConn::Settings settings;
    settings.jobs = options.jobs;
    batch = std::make_unique<Batch>(new RemoveBGConn(options.endpoint, settings));
    batch->connectWorkers();
    batch->setRedo(options.redo);
    batch->setShard(options.shard);
    batch->setUploadSize(options.size);
    watch.setShard(options.shard);
    batch->setChoices(options.choices);
    // The engine writes the client's lines in the log; standard error gets a photo's error once,
    // with the photo, when the photo ends, and any other (a refused key) when its batch does.
    connect(batch->client(), &RemoveBGConn::connectError, this, [this](const QString &error) {
        if (!progress.onTerminal())
            unprintedErrors << error;
    });
    connect(batch.get(), &Batch::line, this, &HeadlessBatch::say);
    connect(batch.get(), &Batch::photoEnded, this, &HeadlessBatch::photoEnded);
    connect(batch.get(), &Batch::progress, this, [this](int done, int all) {
        if (!firstPassOver) {
            progress.finished = done;
            progress.total = all;
        }
        progress.show();
    });
    connect(batch.get(), &Batch::finished, this, &HeadlessBatch::batchFinished);
    connect(&watch, &FolderWatch::settling, this, &HeadlessBatch::sendSettledPhotos);
}

HeadlessBatch::~HeadlessBatch() = default;

int HeadlessBatch::run()
{
    const QFileInfo input(options.input);
    if (!input.isFile() && !input.isDir()) {
        printLine(stderr, QStringLiteral("quorrin: ") + tr("输入路径不存在：%1").arg(options.input));
        return BadUsage;
    }
    if (options.watch && !input.isDir()) {
        printLine(stderr, QStringLiteral("quorrin: --watch watches a folder; %1 is not one").arg(options.input));
        return BadUsage;
    }
    // "photos/", as a shell completes it, is the folder "photos": its results go beside it.
    if (options.output.isEmpty())
        options.output = outputnames::proposedOutput(input.isDir() ? QDir::cleanPath(options.input) : options.input, input.isFile());
    progress.start();
    // Each photo of the first pass as it is when the pass takes it: one replaced meanwhile is
    // sent again once the watch begins.
    if (options.watch)
        watch.markPhotosTaken(options.input);
    batch->start(options.input, options.output, key);
    // A folder with no photo starts no batch at all.
    if (!firstPassOver && !batch->isRunning())
        batchFinished({});
    if (!ended)
        QCoreApplication::exec();
    return exitStatus;
}

void HeadlessBatch::interrupt()
{
    ++interrupts;
    interrupted = true;
    if (interrupts > 1 || !batch->isRunning()) {
        if (interrupts > 1) {
            batch->stop(); // the second stop abandons what is in flight
            if (!firstPassOver)
                session = batch->accountSoFar();
        }
        if (firstPassOver && interrupts == 1) {
            for (const QString &line : batchtexts::accountLines(session))
                say(line);
        }
        end(Interrupted);
        return;
    }
    batch->stop();
}

void HeadlessBatch::say(const QString &line)
{
    // The choices were named when the watch began; each new photo's batch would repeat them.
    if (firstPassOver && line == options.choices.summary())
        return;
    // With --json, standard output is for the JSON Lines alone.
    if (options.json)
        return;
    progress.clear();
    printLine(stdout, line);
    progress.show();
}

void HeadlessBatch::printJson(const QJsonObject &object)
{
    progress.clear();
    printLine(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    progress.show();
}

void HeadlessBatch::photoEnded(const PhotoOutcome &outcome)
{
    if (firstPassOver && outcome.kind != PhotoOutcome::Unsent)
        ++progress.finished;
    if (options.json && outcome.kind != PhotoOutcome::Unsent) {
        printJson(photoReport(outcome));
        printedPhotos << outcome.source;
    }
    if (outcome.kind == PhotoOutcome::Failed) {
        ++progress.failed;
        unprintedErrors.removeOne(outcome.reason);
        if (!progress.onTerminal())
            printLine(stderr, QStringLiteral("quorrin: ") + tr("%1：%2").arg(outcome.source, outcome.reason));
    }
    if (firstPassOver) {
        watch.ended(outcome.source);
        // A watch's account holds each photo once, as it last ended.
        const auto earlier = std::find_if(session.photos.begin(), session.photos.end(),
                                          [&](const PhotoOutcome &photo) { return photo.source == outcome.source; });
        if (earlier != session.photos.end())
            *earlier = outcome;
        else
            session.photos << outcome;
        say(outcomeLine(outcome));
    }
    progress.show();
}

void HeadlessBatch::batchFinished(const BatchAccount &account)
{
    for (const QString &error : qAsConst(unprintedErrors))
        printLine(stderr, QStringLiteral("quorrin: ") + error);
    unprintedErrors.clear();
    if (!firstPassOver) {
        session = account;
        firstPassOver = true;
        progress.show(true);
        if (options.watch && !interrupted && !account.keyRefused) {
            // From now on the photos' own lines stand for the account; --redo was for the first pass.
            batch->setWritesAccounts(false);
            batch->setRedo(false);
            for (const PhotoOutcome &photo : account.photos)
                if (!watch.isTaken(photo.source))
                    watch.markTaken(photo.source);
            watch.start(options.input);
            return;
        }
        end(interrupted ? int(Interrupted) : int(statusOf(account, false)));
        return;
    }
    // The balance is the service's last answer.
    if (account.balanceKnown) {
        session.balanceKnown = true;
        session.balanceLeft = account.balanceLeft;
    }
    if (interrupted) {
        for (const QString &line : batchtexts::accountLines(session))
            say(line);
        end(Interrupted);
        return;
    }
    sendSettledPhotos();
}

HeadlessBatch::Status HeadlessBatch::statusOf(const BatchAccount &account, bool interrupted)
{
    if (interrupted)
        return Interrupted;
    if (account.keyRefused)
        return KeyRefused;
    if (account.count(PhotoOutcome::Failed) > 0)
        return SomeFailed;
    return account.fallenShort() > 0 ? FellShort : AllDone;
}

// Sends, as one batch, the candidates that have stood still long enough and are not done.
void HeadlessBatch::sendSettledPhotos()
{
    if (batch->isRunning() || interrupted)
        return;
    const QStringList ready = watch.takeSettled(options.output);
    if (ready.isEmpty())
        return;
    progress.total += ready.size();
    batch->startPhotos(ready, options.output, false, key);
}

void HeadlessBatch::end(int status)
{
    if (ended)
        return;
    ended = true;
    exitStatus = status;
    if (options.json) {
        // The photos that ended without a line of their own (skipped, unsent), then the account.
        for (const PhotoOutcome &photo : qAsConst(session.photos))
            if (!printedPhotos.contains(photo.source))
                printJson(photoReport(photo));
        printJson(accountReport(session, options.input, options.output, status));
    }
    if (!options.report.isEmpty() && !writeJsonReport(options.report, session, options.input, options.output, status)
        && status == AllDone)
        exitStatus = SomeFailed;
    QCoreApplication::exit(exitStatus);
}

