#include "removebgconn.h"

#include "bilingualtext.h"

#include "accountcheck.h"
#include "replyclassification.h"
#include "replyreader.h"
#include "serviceendpoint.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>

namespace {

constexpr qint64 maxUploadFileBytes = qint64(1) << 30;
// The request bodies held at once; one larger body may still go alone.
constexpr qint64 maxHeldRequestBytes = qint64(256) << 20;
// A reply's property, set once its whole request has gone out.
constexpr char sentWhole[] = "quorrinSentWhole";

// The size of the request body for this file, known before it is read.
qint64 requestBytesFor(const QString &path)
{
    const qint64 fileBytes = QFileInfo(path).size();
    return 25 + (fileBytes > maxUploadFileBytes ? 0 : 4 * ((fileBytes + 2) / 3));
}

} // namespace

RemoveBGConn::RemoveBGConn()
    : RemoveBGConn(QUrl(QStringLiteral(QUORRIN_SERVICE_URL), QUrl::TolerantMode))
{
}

RemoveBGConn::RemoveBGConn(const QUrl &endpoint)
    : RemoveBGConn(endpoint, Settings())
{
}

RemoveBGConn::RemoveBGConn(const QUrl &endpoint, const Settings &settings)
    // A child, so that moving the client to the worker thread takes the manager along:
    // it must live on the thread that posts through it.
    : networkManager(new QNetworkAccessManager(this))
    , endpoint(endpoint)
    , settings(settings)
{
    qRegisterMetaType<UploadOutcome>();
    qRegisterMetaType<UploadsEnded>();
    this->settings.jobs = qBound(1, settings.jobs, 8);
    networkManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    if (this->settings.jobs > 6) {
        spareManager = new QNetworkAccessManager(this);
        spareManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    wakeTimer = new QTimer(this);
    wakeTimer->setSingleShot(true);
    connect(wakeTimer, &QTimer::timeout, this, &RemoveBGConn::postDataReal);
    clock.start();
}

RemoveBGConn::~RemoveBGConn()
{
    // Abort uploads still in flight without reporting them; the managers and their
    // replies are then deleted with this object.
    const auto replies = findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies) {
        reply->disconnect(this);
        reply->abort();
    }
}

// Aborts a reply without hearing from it again.
void RemoveBGConn::drop(QNetworkReply *&reply)
{
    if (!reply)
        return;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

void RemoveBGConn::postData(QString filepath, QString token, bool start)
{
    Upload upload;
    upload.path = filepath;
    upload.token = token;
    uploads.push_back(std::move(upload));
    if (start)
        begin();
}

void RemoveBGConn::begin()
{
    // A start during a batch ends that batch and begins again from the first queued task.
    if (running || checking == Check::Balance)
        emit uploadsEnded(release());
    for (Upload &upload : uploads) {
        Upload fresh;
        fresh.path = upload.path;
        fresh.token = upload.token;
        upload = std::move(fresh);
    }
    ++batchNumber;
    for (std::size_t i = 0; i < uploads.size(); ++i) {
        uploads[i].outcome.batch = batchNumber;
        uploads[i].outcome.index = int(i);
        uploads[i].outcome.path = uploads[i].path;
    }
    reported = 0;
    running = true;
    keyRefused = false;
    creditSpent = false;
    waitingForGoAhead = false;
    hintGiven = false;
    balanceKnown = false;
    pausedUntil = 0;
    checkAccount(Check::Key);
}

// Asks the service whether the key works and what is left on it: before anything is spent,
// and again at the end when the first answer gave a balance.
void RemoveBGConn::checkAccount(Check check)
{
    checking = check;
    accountCheck = new AccountCheck(networkManager, endpoint, uploads.front().token, settings.accountTimeoutMs, this);
    connect(accountCheck, &AccountCheck::answered, this, [this](const AccountAnswer &answer) {
        accountCheck->deleteLater();
        accountCheck = nullptr;
        accountAnswered(answer);
    });
    accountCheck->start();
}

void RemoveBGConn::askBalance(int batch, QString token)
{
    auto *check = new AccountCheck(networkManager, endpoint, token, settings.accountTimeoutMs, this);
    connect(check, &AccountCheck::answered, this, [this, check, batch](const AccountAnswer &answer) {
        check->deleteLater();
        emit balanceAnswered(batch, answer.result == AccountAnswer::Balance, answer.balance);
    });
    check->start();
}

void RemoveBGConn::accountAnswered(const AccountAnswer &answer)
{
    const Check check = checking;
    checking = Check::None;
    if (check == Check::Balance) {
        UploadsEnded end = pendingEnd;
        end.balanceKnown = answer.result == AccountAnswer::Balance;
        end.balanceLeft = answer.balance;
        emit uploadsEnded(end);
        return;
    }
    if (answer.result == AccountAnswer::Balance) {
        balanceKnown = true;
        emit connectInfo(tr("账户余额：") + QString::number(answer.balance, 'g', 15));
    }
    waitingForGoAhead = holdAfterKeyCheck && answer.result != AccountAnswer::Refused;
    emit keyChecked(batchNumber, answer.result == AccountAnswer::Balance, answer.balance);
    if (answer.result == AccountAnswer::Refused) {
        emit connectError((answer.creditSpent ? tr("账户额度已用完（%1），本批没有发送任何照片，%2 张未发送")
                                              : tr("服务不接受这个密钥（%1），本批没有发送任何照片，%2 张未发送"))
                              .arg(answer.why, QString::number(uploads.size())));
        UploadsEnded end = release();
        end.keyRefused = true;
        end.creditSpent = answer.creditSpent;
        emit uploadsEnded(end);
        return;
    }
    postDataReal();
}

void RemoveBGConn::goAhead(int batch, bool send)
{
    if (batch != batchNumber || !waitingForGoAhead || !running)
        return;
    waitingForGoAhead = false;
    if (send)
        postDataReal();
    else
        emit uploadsEnded(release());
}

QNetworkAccessManager *RemoveBGConn::leastBusyManager() const
{
    if (!spareManager)
        return networkManager;
    int onFirst = 0, onSpare = 0;
    for (const Upload &upload : uploads)
        if (upload.reply)
            ++(upload.reply->manager() == networkManager ? onFirst : onSpare);
    for (const LateUpload &upload : late)
        ++(upload.reply->manager() == networkManager ? onFirst : onSpare);
    return onSpare < onFirst ? spareManager : networkManager;
}

bool RemoveBGConn::postDataReal()
{
    if (!running || accountCheck || keyRefused || waitingForGoAhead)
        return true;
    const qint64 now = clock.elapsed();
    qint64 wakeAt = -1;
    const auto wakeNoLaterThan = [&wakeAt](qint64 at) { wakeAt = wakeAt < 0 ? at : std::min(wakeAt, at); };
    if (now < pausedUntil) {
        wakeNoLaterThan(pausedUntil);
    } else {
        // A photo waiting to be tried again keeps its place among the uploads in flight.
        int busy = 0;
        qint64 held = 0;
        for (Upload &upload : uploads) {
            if (upload.state == Upload::Waiting && upload.retryAt <= now)
                send(upload);
            else if (upload.state == Upload::Waiting)
                wakeNoLaterThan(upload.retryAt);
            if (upload.state == Upload::InFlight || upload.state == Upload::Waiting)
                ++busy;
            if (upload.state == Upload::InFlight)
                held += upload.requestBytes;
        }
        for (Upload &upload : uploads) {
            if (busy >= settings.jobs)
                break;
            if (upload.state != Upload::Queued)
                continue;
            if (held > 0 && held + requestBytesFor(upload.path) > maxHeldRequestBytes)
                break;
            if (!send(upload))
                continue;
            ++busy;
            held += upload.requestBytes;
        }
    }
    if (wakeAt >= 0)
        wakeTimer->start(int(std::max<qint64>(0, wakeAt - now)));
    flush();
    return true;
}

bool RemoveBGConn::send(Upload &upload)
{
    if (upload.tries == 0) {
        say(upload, {Line::Info, QString(), {}});
        say(upload, {Line::Info, upload.path, {}});
    }

    QByteArray image;
    QFile file(upload.path);
    // A file too large for the Base64 body to fit in memory is sent as an unreadable one.
    if (file.size() <= maxUploadFileBytes && file.open(QIODevice::ReadOnly)) {
        image = file.readAll();
        file.close();
    }

    // Never paid for: a photo whose data its decoder finds cut short or corrupt, or one whose
    // upload cannot be made.
    if (preparation) {
        PreparedUpload prepared = preparation(image, uploadSize);
        if (prepared.refusal) {
            const BilingualText why = BilingualText::translate("PhotoCheck", prepared.refusal);
            const BilingualText text = prepared.damaged
                                           ? BilingualText::translate("RemoveBGConn", "照片已损坏（%1），未发送").arg(why)
                                           : BilingualText::translate("RemoveBGConn", "无法生成要上传的图像（%1），未发送").arg(why);
            upload.state = Upload::Settled;
            upload.outcome.kind = UploadOutcome::Damaged;
            upload.outcome.reason = text.shown;
            upload.outcome.reasonForReport = text.original;
            say(upload, {Line::Error, text.shown, {}});
            return false;
        }
        if (!prepared.made.isEmpty())
            image = std::move(prepared.made);
    }

    static const char *const sizeFields[] = {"size=auto&", "size=preview&", "size=full&"};
    QByteArray body;
    const QByteArray encoded =
        image.toBase64(QByteArray::Base64UrlEncoding | QByteArray::KeepTrailingEquals);
    image.clear();
    body.reserve(28 + encoded.size());
    body.append(sizeFields[int(uploadSize)]);
    body.append("image_file_b64=");
    body.append(encoded);

    QNetworkRequest request(endpoint);
    request.setRawHeader("X-Api-Key", upload.token.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    upload.reply = leastBusyManager()->post(request, body);
    upload.requestBytes = body.size();
    upload.state = Upload::InFlight;
    ++upload.tries;
    new ReplyReader(upload.reply, settings.stallTimeoutMs);
    QNetworkReply *reply = upload.reply;
    connect(reply, &QNetworkReply::uploadProgress, reply, [reply](qint64 sent, qint64 total) {
        if (total > 0 && sent == total)
            reply->setProperty(sentWhole, true);
    });
    say(upload, {Line::Info, tr("正在发送..."), {}});
    connect(upload.reply, &QNetworkReply::finished, this, &RemoveBGConn::solveReply);
    return true;
}

void RemoveBGConn::solveReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const auto found = std::find_if(uploads.begin(), uploads.end(), [reply](const Upload &upload) { return upload.reply == reply; });
    if (found == uploads.end()) {
        settleLate(reply);
        return;
    }
    settle(*found, reply);
    postDataReal();
    if (keyRefused && running
        && std::none_of(uploads.begin(), uploads.end(), [](const Upload &u) { return u.state == Upload::InFlight; }))
    {
        UploadsEnded end = release();
        end.keyRefused = true;
        end.creditSpent = creditSpent;
        // A photo that met a spent credit was not charged: it is one more left unsent.
        end.unsent += int(std::count_if(uploads.begin(), uploads.end(),
                                        [](const Upload &u) { return u.outcome.kind == UploadOutcome::CreditSpent; }));
        emit connectError((creditSpent ? tr("账户额度已用完（%1），已停止发送，%2 张未发送")
                                       : tr("服务不接受这个密钥（%1），已停止发送，%2 张未发送"))
                              .arg(keyRefusal, QString::number(end.unsent)));
        emit uploadsEnded(end);
    }
}

// A reply of the current batch: its cut-out, another try, or its failure.
void RemoveBGConn::settle(Upload &upload, QNetworkReply *reply)
{
    const ReplyFacts facts = factsOf(reply);
    const ReplyVerdict verdict = classifyReply(facts, settings.stallTimeoutMs);
    const RetryStep step = nextStep(verdict, facts.status, reply->rawHeader("Retry-After"), upload.tries,
                                    upload.passingFailures, settings, QDateTime::currentDateTimeUtc());
    upload.reply = nullptr;
    // A connection refused, or a host not found, sent nothing.
    if (facts.status != 0 || reply->property(sentWhole).toBool())
        say(upload, {Line::Info, tr("发送完成！正在接收..."), {}});

    if (step.again) {
        const qint64 now = clock.elapsed();
        if (step.holdsBackBatch)
            pausedUntil = std::max(pausedUntil, now + step.waitMs);
        else
            ++upload.passingFailures;
        upload.state = Upload::Waiting;
        upload.retryAt = now + step.waitMs;
        say(upload, {Line::Info, step.line, {}});
        return;
    }
    upload.state = Upload::Settled;
    upload.outcome.kind = verdict.kind;
    upload.outcome.reason = verdict.line;
    upload.outcome.reasonForReport = verdict.lineForReport;
    upload.outcome.explanation = verdict.explanation;
    if (verdict.kind == UploadOutcome::CutOut) {
        upload.outcome.cutout = facts.body;
        say(upload, {Line::Info, tr("接收完成！"), {}});
        say(upload, {Line::Data, QString(), facts.body});
        return;
    }
    if (verdict.kind == UploadOutcome::KeyRefused || verdict.kind == UploadOutcome::CreditSpent) {
        keyRefused = true;
        creditSpent = creditSpent || verdict.kind == UploadOutcome::CreditSpent;
        keyRefusal = QStringLiteral("HTTP %1").arg(facts.status)
                     + (verdict.explanation.isEmpty() ? QString() : tr("：") + verdict.explanation);
    }
    say(upload, {Line::Error, verdict.line, {}});
    // Nothing listens at the built-in local address: the stand-in is not running.
    if (facts.error == QNetworkReply::ConnectionRefusedError && !hintGiven
        && endpoint == QUrl(QStringLiteral(QUORRIN_SERVICE_URL), QUrl::TolerantMode)
        && QHostAddress(endpoint.host()).isLoopback()) {
        hintGiven = true;
        say(upload, {Line::Info, tr("提示：本机的替身服务没有运行。可用 quorrin-offline 启动它再打开窗口，"
                                    "或用 --service-url 指向真正的服务"), {}});
    }
}

// A reply of a cleared or replaced batch: no line, no other try; only its outcome.
void RemoveBGConn::settleLate(QNetworkReply *reply)
{
    const auto found = std::find_if(late.begin(), late.end(), [reply](const LateUpload &upload) { return upload.reply == reply; });
    if (found == late.end())
        return;
    UploadOutcome outcome = found->outcome;
    late.erase(found);
    const ReplyFacts facts = factsOf(reply);
    const ReplyVerdict verdict = classifyReply(facts, settings.stallTimeoutMs);
    outcome.kind = verdict.kind;
    outcome.reason = verdict.line;
    outcome.reasonForReport = verdict.lineForReport;
    outcome.explanation = verdict.explanation;
    if (verdict.kind == UploadOutcome::CutOut)
        outcome.cutout = facts.body;
    emit photoFinished(outcome);
}

void RemoveBGConn::dropInFlight()
{
    std::vector<LateUpload> dropped;
    dropped.swap(late);
    for (LateUpload &upload : dropped) {
        drop(upload.reply);
        upload.outcome.kind = UploadOutcome::Abandoned;
        emit photoFinished(upload.outcome);
    }
}

void RemoveBGConn::say(Upload &upload, Line line)
{
    upload.unsaid.push_back(std::move(line));
}

// Writes every line that may be written now: a photo's lines wait until all the photos
// before it are reported, so the log reads as if they had been sent one at a time.
void RemoveBGConn::flush()
{
    while (reported < uploads.size()) {
        Upload &upload = uploads[reported];
        sayNow(upload);
        if (upload.state != Upload::Settled)
            return;
        ++reported;
    }
    if (running) {
        running = false;
        emit connectInfo(tr("\n全部完成！"));
        UploadsEnded end;
        end.batch = batchNumber;
        if (balanceKnown) {
            pendingEnd = end;
            checkAccount(Check::Balance);
        } else {
            emit uploadsEnded(end);
        }
    }
}

void RemoveBGConn::sayNow(Upload &upload)
{
    std::vector<Line> lines;
    lines.swap(upload.unsaid);
    for (const Line &line : lines) {
        if (line.kind == Line::Info)
            emit connectInfo(line.text);
        else if (line.kind == Line::Error)
            emit connectError(line.text);
        else
            emit receivedData(line.body, upload.path);
    }
    if (upload.state == Upload::Settled) {
        emit photoFinished(upload.outcome);
        upload.outcome.cutout.clear();
    }
}

// Ends the batch before every photo was answered. Cut-outs that had already arrived are
// reported in order; uploads in flight are left to finish as late ones, since the service
// charges for what it has received; the rest are never sent.
UploadsEnded RemoveBGConn::release()
{
    wakeTimer->stop();
    delete accountCheck;
    accountCheck = nullptr;
    waitingForGoAhead = false;
    UploadsEnded end;
    end.batch = batchNumber;
    if (checking == Check::Balance) {
        checking = Check::None;
        return pendingEnd;
    }
    checking = Check::None;
    for (std::size_t i = reported; i < uploads.size(); ++i) {
        Upload &upload = uploads[i];
        if (upload.state == Upload::Settled) {
            sayNow(upload);
            continue;
        }
        upload.unsaid.clear();
        if (upload.state == Upload::InFlight) {
            UploadOutcome outcome = upload.outcome;
            outcome.late = true;
            late.push_back({outcome, upload.reply});
            upload.reply = nullptr;
            ++end.stillInFlight;
        } else {
            ++end.unsent;
        }
        upload.state = Upload::Queued;
    }
    reported = uploads.size();
    running = false;
    return end;
}

void RemoveBGConn::clearData()
{
    if (running || checking == Check::Balance)
        emit uploadsEnded(release());
    uploads.clear();
    reported = 0;
}
