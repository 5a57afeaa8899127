#include "headlessbatch.h"

#include "keystore.h"
#include "outputnames.h"
#include "outputplan.h"
#include "removebgconn.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A photo in a watched folder is sent once its size and time have stood still this long, so
// that one still being copied is never sent half-written.
constexpr int settleMs = 2000;
// Change notices can be lost; the folder is looked at this often all the same.
constexpr int rescanMs = 30 * 1000;

void printLine(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

const char *outcomeName(PhotoOutcome::Kind kind)
{
    switch (kind) {
    case PhotoOutcome::Saved:
        return "saved";
    case PhotoOutcome::Finished:
        return "finished";
    case PhotoOutcome::Derived:
        return "derived";
    case PhotoOutcome::Skipped:
        return "skipped";
    case PhotoOutcome::NoSubject:
        return "no-subject";
    case PhotoOutcome::Failed:
        return "failed";
    case PhotoOutcome::Pending:
    case PhotoOutcome::Unsent:
        break;
    }
    return "unsent";
}

const char *failureName(PhotoOutcome::Failure failure)
{
    switch (failure) {
    case PhotoOutcome::NoFailure:
        break;
    case PhotoOutcome::KeyRefused:
        return "key-refused";
    case PhotoOutcome::Refused:
        return "refused";
    case PhotoOutcome::NotAnImage:
        return "not-an-image";
    case PhotoOutcome::TooLarge:
        return "too-large";
    case PhotoOutcome::Stalled:
        return "stalled";
    case PhotoOutcome::Network:
        return "network";
    case PhotoOutcome::SaveFailed:
        return "save-failed";
    case PhotoOutcome::CompositeFailed:
        return "composite-failed";
    }
    return "";
}

// The line a watched photo gets when it ends.
QString outcomeLine(const PhotoOutcome &photo)
{
    const QString name = QFileInfo(photo.source).fileName();
    switch (photo.kind) {
    case PhotoOutcome::Saved:
        return QCoreApplication::translate("HeadlessBatch", "保存：%1").arg(name);
    case PhotoOutcome::Finished:
        return QCoreApplication::translate("HeadlessBatch", "由服务的小图生成：%1").arg(name);
    case PhotoOutcome::Derived:
        return QCoreApplication::translate("HeadlessBatch", "由已有结果生成：%1").arg(name);
    case PhotoOutcome::Skipped:
        return QCoreApplication::translate("HeadlessBatch", "跳过：%1").arg(name);
    case PhotoOutcome::NoSubject:
        return QCoreApplication::translate("HeadlessBatch", "没有找到主体：%1").arg(name);
    case PhotoOutcome::Failed:
        return QCoreApplication::translate("HeadlessBatch", "失败：%1：%2").arg(name, photo.reason);
    case PhotoOutcome::Pending:
    case PhotoOutcome::Unsent:
        break;
    }
    return QCoreApplication::translate("HeadlessBatch", "未发送：%1").arg(name);
}

int signalPipe[2] = {-1, -1};

void writeToSignalPipe(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

QString readApiKey(const QString &keyFile, QString *error)
{
    const QString fromEnvironment = QProcessEnvironment::systemEnvironment().value(QStringLiteral("QUORRIN_API_KEY"));
    if (keyFile.isEmpty() && !fromEnvironment.isEmpty())
        return fromEnvironment;
    if (keyFile.isEmpty()) {
        const QString kept = KeyStore::readNow();
        if (kept.isEmpty())
            *error = QStringLiteral("quorrin: no API key: set QUORRIN_API_KEY, give --key-file FILE "
                                    "(--key-file - reads it from standard input), or keep it in the system keyring "
                                    "from the window; it is never taken as an option's value");
        return kept;
    }
    QFile file;
    const bool opened = keyFile == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                      : (file.setFileName(keyFile), file.open(QIODevice::ReadOnly));
    const QString key = opened ? QString::fromUtf8(file.readLine(64 * 1024)).trimmed() : QString();
    if (key.isEmpty())
        *error = opened ? QStringLiteral("quorrin: %1 holds no API key").arg(keyFile)
                        : QStringLiteral("quorrin: cannot read the API key from %1: %2").arg(keyFile, file.errorString());
    return key;
}

void catchStopSignals(QObject *context, std::function<void()> onSignal)
{
    if (signalPipe[0] < 0) {
        if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        struct sigaction action = {};
        action.sa_handler = writeToSignalPipe;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [onSignal] {
        char bytes[16];
        ssize_t got;
        // One byte a signal: two that came while the thread was busy are two stops.
        while ((got = ::read(signalPipe[0], bytes, sizeof bytes)) > 0)
            for (ssize_t i = 0; i < got; ++i)
                onSignal();
    });
}

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
    batch->setChoices(options.choices);
    // The engine writes the client's lines in the log; standard error gets a photo's error once,
    // with the photo, when the photo ends, and any other (a refused key) when its batch does.
    connect(batch->client(), &RemoveBGConn::connectError, this, [this](const QString &error) {
        if (!progressOnTerminal)
            unprintedErrors << error;
    });
    connect(batch.get(), &Batch::line, this, &HeadlessBatch::say);
    connect(batch.get(), &Batch::photoEnded, this, &HeadlessBatch::photoEnded);
    connect(batch.get(), &Batch::progress, this, [this](int done, int all) {
        if (!firstPassOver) {
            finished = done;
            total = all;
        }
        showProgress();
    });
    connect(batch.get(), &Batch::finished, this, &HeadlessBatch::batchFinished);
    progressOnTerminal = ::isatty(STDERR_FILENO) == 1;
    rescanTimer.setInterval(rescanMs);
    connect(&rescanTimer, &QTimer::timeout, this, &HeadlessBatch::scan);
    settleTimer.setInterval(500);
    connect(&settleTimer, &QTimer::timeout, this, &HeadlessBatch::sendSettledPhotos);
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
    clock.start();
    // Each photo of the first pass as it is when the pass takes it: one replaced meanwhile is
    // sent again once the watch begins.
    if (options.watch)
        for (const QString &photo : outputnames::photosIn(options.input).photos)
            markTaken(photo);
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
            for (const QString &line : Batch::accountLines(session))
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
    if (progressOnTerminal && total > 0)
        std::fputs("\r\x1b[K", stderr);
    printLine(stdout, line);
    showProgress();
}

void HeadlessBatch::photoEnded(const PhotoOutcome &outcome)
{
    if (firstPassOver && outcome.kind != PhotoOutcome::Unsent)
        ++finished;
    if (outcome.kind == PhotoOutcome::Failed) {
        ++failed;
        unprintedErrors.removeOne(outcome.reason);
        if (!progressOnTerminal)
            printLine(stderr, QStringLiteral("quorrin: ") + tr("%1：%2").arg(outcome.source, outcome.reason));
    }
    if (firstPassOver) {
        sending.removeAll(outcome.source);
        // A watch's account holds each photo once, as it last ended.
        const auto earlier = std::find_if(session.photos.begin(), session.photos.end(),
                                          [&](const PhotoOutcome &photo) { return photo.source == outcome.source; });
        if (earlier != session.photos.end())
            *earlier = outcome;
        else
            session.photos << outcome;
        say(outcomeLine(outcome));
    }
    showProgress();
}

void HeadlessBatch::showProgress(bool final)
{
    if (!progressOnTerminal || total == 0)
        return;
    const double minutes = clock.elapsed() / 60000.0;
    const double perMinute = minutes > 0 ? finished / minutes : 0;
    const int left = total - finished;
    QString line = tr("已完成 %1/%2 张，失败 %3 张，每分钟 %4 张").arg(finished).arg(total).arg(failed)
                       .arg(perMinute, 0, 'f', 1);
    if (perMinute > 0 && left > 0) {
        const int seconds = int(left / perMinute * 60);
        line += tr("，还需约 %1 分 %2 秒").arg(seconds / 60).arg(seconds % 60);
    }
    const QByteArray bytes = "\r\x1b[K" + line.toUtf8() + (final ? "\n" : "");
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void HeadlessBatch::batchFinished(const BatchAccount &account)
{
    for (const QString &error : qAsConst(unprintedErrors))
        printLine(stderr, QStringLiteral("quorrin: ") + error);
    unprintedErrors.clear();
    if (!firstPassOver) {
        session = account;
        firstPassOver = true;
        showProgress(true);
        if (options.watch && !interrupted && !account.keyRefused) {
            // From now on the photos' own lines stand for the account; --redo was for the first pass.
            batch->setWritesAccounts(false);
            batch->setRedo(false);
            for (const PhotoOutcome &photo : account.photos)
                if (!taken.contains(photo.source))
                    markTaken(photo.source);
            watcher = new QFileSystemWatcher(QStringList{options.input}, this);
            connect(watcher, &QFileSystemWatcher::directoryChanged, this, &HeadlessBatch::scan);
            rescanTimer.start();
            scan();
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
        for (const QString &line : Batch::accountLines(session))
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
    return account.count(PhotoOutcome::Failed) > 0 ? SomeFailed : AllDone;
}

void HeadlessBatch::scan()
{
    const auto entries = QDir(options.input).entryInfoList(QDir::Files | QDir::CaseSensitive, QDir::Name | QDir::IgnoreCase);
    const qint64 now = clock.elapsed();
    for (const QFileInfo &entry : entries) {
        const QString source = entry.filePath();
        if (!outputnames::isPhoto(entry) || sending.contains(source))
            continue;
        const qint64 modified = entry.lastModified().toMSecsSinceEpoch();
        if (taken.value(source, {-1, -1}) == qMakePair(entry.size(), modified))
            continue;
        Seen &seen = candidates[source];
        if (seen.size != entry.size() || seen.modified != modified)
            seen = {entry.size(), modified, now};
    }
    if (!candidates.isEmpty())
        settleTimer.start();
}

// Sends, as one batch, the candidates that have stood still long enough and are not done.
void HeadlessBatch::sendSettledPhotos()
{
    if (batch->isRunning() || interrupted)
        return;
    const qint64 now = clock.elapsed();
    QStringList ready;
    for (auto it = candidates.begin(); it != candidates.end();) {
        const QFileInfo file(it.key());
        if (!file.isFile()) {
            it = candidates.erase(it);
            continue;
        }
        // Changed since it was last seen: it is being written still.
        if (file.size() != it->size || file.lastModified().toMSecsSinceEpoch() != it->modified) {
            *it = {file.size(), file.lastModified().toMSecsSinceEpoch(), now};
        } else if (now - it->unchangedSince >= settleMs) {
            const QString result = outputnames::resultPath(it.key(), options.output, false);
            if (outputplan::planFor(it.key(), QFileInfo(result).absoluteFilePath()) != outputplan::Plan::Skip)
                ready << it.key();
            else
                markTaken(it.key());
            it = candidates.erase(it);
            continue;
        }
        ++it;
    }
    if (candidates.isEmpty())
        settleTimer.stop();
    if (ready.isEmpty())
        return;
    ready.sort(Qt::CaseInsensitive);
    for (const QString &source : ready)
        markTaken(source); // as it is now: a copy replaced while it uploads is sent again
    sending << ready;
    total += ready.size();
    batch->startPhotos(ready, options.output, false, key);
}

void HeadlessBatch::markTaken(const QString &source)
{
    const QFileInfo file(source);
    taken.insert(source, {file.size(), file.lastModified().toMSecsSinceEpoch()});
}

void HeadlessBatch::end(int status)
{
    if (ended)
        return;
    ended = true;
    exitStatus = status;
    if (!options.report.isEmpty() && !writeReport(status) && status == AllDone)
        exitStatus = SomeFailed;
    QCoreApplication::exit(exitStatus);
}

bool HeadlessBatch::writeReport(int status)
{
    QSaveFile file(options.report);
    const QByteArray json = reportOf(session, options.input, options.output, status);
    if (file.open(QIODevice::WriteOnly) && file.write(json) == json.size() && file.commit())
        return true;
    printLine(stderr, QStringLiteral("quorrin: cannot write the report %1: %2").arg(options.report, file.errorString()));
    return false;
}

QByteArray HeadlessBatch::reportOf(const BatchAccount &account, const QString &input, const QString &output, int status)
{
    QJsonArray photos;
    for (const PhotoOutcome &photo : account.photos) {
        QJsonObject entry{{QStringLiteral("path"), photo.source}, {QStringLiteral("outcome"), QLatin1String(outcomeName(photo.kind))}};
        if (photo.kind == PhotoOutcome::Failed) {
            entry.insert(QStringLiteral("failure"), QLatin1String(failureName(photo.failure)));
            entry.insert(QStringLiteral("reason"), photo.reasonForReport);
            if (!photo.explanation.isEmpty())
                entry.insert(QStringLiteral("explanation"), photo.explanation);
        }
        // What this run wrote: a result, or the service's cut-out kept where the composite failed.
        QJsonArray files;
        if (photo.kind == PhotoOutcome::Saved || photo.kind == PhotoOutcome::Finished || photo.kind == PhotoOutcome::NoSubject
            || photo.failure == PhotoOutcome::CompositeFailed)
            files << photo.result;
        for (const QString &file : photo.files)
            files << file;
        entry.insert(QStringLiteral("files"), files);
        photos << entry;
    }
    QJsonObject counts;
    for (PhotoOutcome::Kind kind : {PhotoOutcome::Saved, PhotoOutcome::Finished, PhotoOutcome::Derived, PhotoOutcome::Skipped,
                                    PhotoOutcome::NoSubject, PhotoOutcome::Failed, PhotoOutcome::Unsent})
        counts.insert(QLatin1String(outcomeName(kind)), account.count(kind));
    QJsonObject report{{QStringLiteral("input"), input},
                       {QStringLiteral("output"), output},
                       {QStringLiteral("stopped"), account.stopped || status == Interrupted},
                       {QStringLiteral("exitStatus"), status},
                       {QStringLiteral("counts"), counts},
                       {QStringLiteral("photos"), photos}};
    if (account.balanceKnown)
        report.insert(QStringLiteral("balanceLeft"), account.balanceLeft);
    return QJsonDocument(report).toJson();
}
