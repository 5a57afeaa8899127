#include "removebgconn.h"

#include "serviceendpoint.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QLocale>
#include <QTimer>

#include <algorithm>

namespace {

// The most of one reply's body that is ever held, after any content decoding.
constexpr qint64 maxReplyBytes = qint64(256) << 20;
constexpr int defaultStallTimeoutMs = 120 * 1000;
constexpr qint64 maxUploadFileBytes = qint64(1) << 30;
// The request bodies held at once; one larger body may still go alone.
constexpr qint64 maxHeldRequestBytes = qint64(256) << 20;
constexpr int maxTries = 5;
constexpr int maxPassingFailures = 2;

} // namespace

// Reads one reply as its bytes arrive, so that no more than the cap is ever held, and gives
// it up when nothing has moved for the stall timeout. A child of its reply.
class ReplyReader : public QObject
{
    Q_OBJECT

public:
    enum Failure { None, TooLarge, Stalled };

    ReplyReader(QNetworkReply *reply, int stallTimeoutMs)
        : QObject(reply)
        , reply(reply)
    {
        stallTimer.setSingleShot(true);
        stallTimer.setInterval(stallTimeoutMs);
        connect(&stallTimer, &QTimer::timeout, this, [this] { giveUp(Stalled); });
        connect(reply, &QNetworkReply::uploadProgress, this, [this] { stallTimer.start(); });
        connect(reply, &QNetworkReply::downloadProgress, this, [this] { stallTimer.start(); });
        connect(reply, &QNetworkReply::readyRead, this, &ReplyReader::take);
        connect(reply, &QNetworkReply::finished, &stallTimer, &QTimer::stop);
        stallTimer.start();
    }

    // Moves what has arrived into `body`, unless that would pass the cap.
    void take()
    {
        if (failure != None)
            return;
        const qint64 available = reply->bytesAvailable();
        if (body.size() + available > maxReplyBytes)
            giveUp(TooLarge);
        else if (available > 0)
            body += reply->read(available);
    }

    Failure failure = None;
    QByteArray body;

private:
    void giveUp(Failure why)
    {
        failure = why;
        stallTimer.stop();
        reply->abort(); // emits finished at once; the client then reads `failure`
    }

    QNetworkReply *reply;
    QTimer stallTimer;
};

namespace {

bool isImage(const QByteArray &body)
{
    return body.startsWith("\x89PNG\r\n\x1a\n") || body.startsWith("\xff\xd8\xff");
}

// The titles and details of a JSON error body ({"errors":[{"title":..,"detail":..}]}), or empty.
QString serviceExplanation(const QByteArray &body)
{
    QStringList parts;
    const QJsonArray errors = QJsonDocument::fromJson(body).object().value(QLatin1String("errors")).toArray();
    for (const QJsonValue &error : errors) {
        const QString title = error.toObject().value(QLatin1String("title")).toString().simplified();
        const QString detail = error.toObject().value(QLatin1String("detail")).toString().simplified();
        if (!title.isEmpty() || !detail.isEmpty())
            parts << (title.isEmpty() || detail.isEmpty() ? title + detail : title + QStringLiteral(": ") + detail);
    }
    return parts.join(QStringLiteral("; "));
}

// Why the finished reply is no cut-out, as one line for the log; empty when it is one.
QString failureOf(QNetworkReply *reply, const ReplyReader &reader, int stallTimeoutMs)
{
    if (reader.failure == ReplyReader::TooLarge)
        return QStringLiteral("服务的回复超过 256 MiB，已中止接收");
    if (reader.failure == ReplyReader::Stalled)
        return QStringLiteral("服务 %1 秒没有收发任何数据，已中止").arg(stallTimeoutMs / 1000.0);
    if (reply->error() != QNetworkReply::NoError) {
        const QString explanation = serviceExplanation(reader.body);
        return explanation.isEmpty() ? reply->errorString() : reply->errorString() + QStringLiteral(" — ") + explanation;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status / 100 == 2 && isImage(reader.body))
        return {};
    // A redirect is never followed (the key would travel to another address), and a page
    // or an empty body is no cut-out.
    const QString type = QString::fromLatin1(reply->rawHeader("Content-Type")).simplified();
    return QStringLiteral("服务的回复不是图片：HTTP %1，类型 %2，%3 字节")
        .arg(status)
        .arg(type.isEmpty() ? QStringLiteral("（无）") : type)
        .arg(reader.body.size());
}

// How long the service asks to wait: seconds or an HTTP date; -1 when it says nothing usable.
qint64 retryAfterMs(const QByteArray &header)
{
    const QByteArray text = header.trimmed();
    if (text.isEmpty())
        return -1;
    bool isNumber = false;
    const qint64 seconds = text.toLongLong(&isNumber);
    if (isNumber)
        return seconds < 0 ? -1 : std::min<qint64>(seconds, 1 << 20) * 1000;
    QDateTime when = QLocale::c().toDateTime(QString::fromLatin1(text).simplified(),
                                             QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!when.isValid())
        return -1;
    when.setTimeSpec(Qt::UTC);
    return std::max<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(when));
}

// Failures of the connection itself, which another try may well not meet.
bool isPassingNetworkError(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return false;
    }
}

QString secondsText(qint64 ms)
{
    return QString::number(ms / 1000.0);
}

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

RemoveBGConn::RemoveBGConn(const QUrl &endpoint, int stallTimeoutMs)
    : RemoveBGConn(endpoint, [stallTimeoutMs] {
        Settings settings;
        settings.stallTimeoutMs = stallTimeoutMs;
        return settings;
    }())
{
}

RemoveBGConn::RemoveBGConn(const QUrl &endpoint, const Settings &settings)
    // A child, so that moving the client to the worker thread takes the manager along:
    // it must live on the thread that posts through it.
    : networkManager(new QNetworkAccessManager(this))
    , endpoint(endpoint)
    , settings(settings)
{
    this->settings.jobs = qBound(1, settings.jobs, 8);
    networkManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    if (this->settings.jobs > 6) {
        spareManager = new QNetworkAccessManager(this);
        spareManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    wakeTimer = new QTimer(this);
    wakeTimer->setSingleShot(true);
    connect(wakeTimer, &QTimer::timeout, this, &RemoveBGConn::postDataReal);
    accountTimer = new QTimer(this);
    accountTimer->setSingleShot(true);
    connect(accountTimer, &QTimer::timeout, this, [this] {
        if (accountReply)
            accountReply->abort(); // finishes it at once, with no answer: the batch goes on
    });
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

// Aborts a reply without hearing from it again; an upload aborted is not paid for.
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
    // A start during a batch begins again from the first queued task; what was in flight
    // belongs to no batch any more.
    for (Upload &upload : uploads) {
        drop(upload.reply);
        Upload fresh;
        fresh.path = upload.path;
        fresh.token = upload.token;
        upload = std::move(fresh);
    }
    drop(accountReply);
    reported = 0;
    running = true;
    keyRefused = false;
    hintGiven = false;
    pausedUntil = 0;
    checkAccount();
}

// Asks the service whether the key works and what is left on it, before anything is spent.
void RemoveBGConn::checkAccount()
{
    QString path = endpoint.path();
    if (!path.endsWith(QLatin1String("/removebg"))) {
        postDataReal();
        return;
    }
    path.chop(8); // "removebg"
    QUrl url = endpoint;
    url.setPath(path + QStringLiteral("account"));
    QNetworkRequest request(url);
    request.setRawHeader("X-Api-Key", uploads.front().token.toUtf8());
    accountReply = networkManager->get(request);
    new ReplyReader(accountReply, settings.accountTimeoutMs);
    connect(accountReply, &QNetworkReply::finished, this, &RemoveBGConn::accountChecked);
    accountTimer->start(settings.accountTimeoutMs);
}

void RemoveBGConn::accountChecked()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply != accountReply)
        return;
    accountReply = nullptr;
    accountTimer->stop();
    auto *reader = reply->findChild<ReplyReader *>(QString(), Qt::FindDirectChildrenOnly);
    reader->take();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QJsonObject answer = QJsonDocument::fromJson(reader->body).object();

    if (status == 200 && reader->failure == ReplyReader::None) {
        const QJsonValue total = answer.value(QLatin1String("data")).toObject().value(QLatin1String("attributes"))
                                     .toObject().value(QLatin1String("credits")).toObject().value(QLatin1String("total"));
        if (total.isDouble())
            emit connectInfo(QStringLiteral("账户余额：") + QString::number(total.toDouble(), 'g', 15));
    } else if (status == 401 || status == 402 || status == 403) {
        QStringList titles;
        for (const QJsonValue &error : answer.value(QLatin1String("errors")).toArray())
            titles << error.toObject().value(QLatin1String("title")).toString().simplified();
        titles.removeAll(QString());
        const QString why = QStringLiteral("HTTP %1").arg(status)
                            + (titles.isEmpty() ? QString() : QStringLiteral("：") + titles.join(QStringLiteral("; ")));
        emit connectError(QStringLiteral("服务不接受这个密钥（%1），本批没有发送任何照片，%2 张未发送")
                              .arg(why, QString::number(uploads.size())));
        running = false;
        reported = uploads.size();
        emit batchEnded();
        return;
    }
    postDataReal();
}

QNetworkAccessManager *RemoveBGConn::leastBusyManager() const
{
    if (!spareManager)
        return networkManager;
    int onFirst = 0, onSpare = 0;
    for (const Upload &upload : uploads)
        if (upload.reply)
            ++(upload.reply->manager() == networkManager ? onFirst : onSpare);
    return onSpare < onFirst ? spareManager : networkManager;
}

bool RemoveBGConn::postDataReal()
{
    if (!running || accountReply || keyRefused)
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
            send(upload);
            ++busy;
            held += upload.requestBytes;
        }
    }
    if (wakeAt >= 0)
        wakeTimer->start(int(std::max<qint64>(0, wakeAt - now)));
    flush();
    return true;
}

void RemoveBGConn::send(Upload &upload)
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

    QByteArray body;
    const QByteArray encoded =
        image.toBase64(QByteArray::Base64UrlEncoding | QByteArray::KeepTrailingEquals);
    image.clear();
    body.reserve(25 + encoded.size());
    body.append("size=auto&");
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
    say(upload, {Line::Info, QStringLiteral("正在发送..."), {}});
    connect(upload.reply, &QNetworkReply::finished, this, &RemoveBGConn::solveReply);
}

void RemoveBGConn::solveReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const auto found = std::find_if(uploads.begin(), uploads.end(), [reply](const Upload &upload) { return upload.reply == reply; });
    if (found == uploads.end()) {
        // Its batch was cleared or replaced: it must not report.
        reply->deleteLater();
        return;
    }
    Upload &upload = *found;

    auto *reader = reply->findChild<ReplyReader *>(QString(), Qt::FindDirectChildrenOnly);
    reader->take();
    const QString failure = failureOf(reply, *reader, settings.stallTimeoutMs);
    const QByteArray body = failure.isEmpty() ? reader->body : QByteArray();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool passingNetworkFailure = reader->failure == ReplyReader::Stalled
                                       || (status == 0 && reader->failure == ReplyReader::None
                                           && isPassingNetworkError(reply->error()));
    const qint64 askedWaitMs = retryAfterMs(reply->rawHeader("Retry-After"));
    const bool refused = reply->error() == QNetworkReply::ConnectionRefusedError;
    const QString explanation = serviceExplanation(reader->body);
    reply->deleteLater();
    upload.reply = nullptr;
    upload.state = Upload::Settled;

    say(upload, {Line::Info, QStringLiteral("发送完成！正在接收..."), {}});
    const qint64 now = clock.elapsed();
    const auto retryAfter = [&](qint64 waitMs, const QString &line) {
        upload.state = Upload::Waiting;
        upload.retryAt = now + waitMs;
        say(upload, {Line::Info, line, {}});
    };
    const bool serverTrouble = status == 500 || status == 502 || status == 503 || status == 504;
    if (failure.isEmpty()) {
        say(upload, {Line::Info, QStringLiteral("接收完成！"), {}});
        say(upload, {Line::Data, QString(), body});
    } else if (status == 429 && upload.tries < maxTries) {
        const qint64 waitMs = std::min<qint64>(askedWaitMs < 0 ? settings.defaultRetryAfterMs : askedWaitMs,
                                               settings.maxRetryAfterMs);
        pausedUntil = std::max(pausedUntil, now + waitMs);
        retryAfter(waitMs, QStringLiteral("服务繁忙（HTTP 429），%1 秒后重试").arg(secondsText(waitMs)));
    } else if ((serverTrouble || passingNetworkFailure) && upload.passingFailures < maxPassingFailures
               && upload.tries < maxTries) {
        const qint64 waitMs = status == 503 && askedWaitMs >= 0
                                  ? std::min<qint64>(askedWaitMs, settings.maxRetryAfterMs)
                                  : settings.retryDelaysMs[upload.passingFailures];
        ++upload.passingFailures;
        retryAfter(waitMs, serverTrouble
                               ? QStringLiteral("服务出错（HTTP %1），%2 秒后重试").arg(QString::number(status), secondsText(waitMs))
                               : QStringLiteral("连接出错（%1），%2 秒后重试").arg(failure, secondsText(waitMs)));
    } else {
        if (status == 401 || status == 402 || status == 403) {
            keyRefused = true;
            keyRefusal = QStringLiteral("HTTP %1").arg(status)
                         + (explanation.isEmpty() ? QString() : QStringLiteral("：") + explanation);
        }
        say(upload, {Line::Error, failure, {}});
        // Nothing listens at the built-in local address: the stand-in is not running.
        if (refused && !hintGiven && endpoint == QUrl(QStringLiteral(QUORRIN_SERVICE_URL), QUrl::TolerantMode)
            && QHostAddress(endpoint.host()).isLoopback()) {
            hintGiven = true;
            say(upload, {Line::Info, QStringLiteral("提示：本机的替身服务没有运行。可用 quorrin-offline 启动它再打开窗口，"
                                                    "或用 --service-url 指向真正的服务"), {}});
        }
    }

    postDataReal();
    if (keyRefused && running
        && std::none_of(uploads.begin(), uploads.end(), [](const Upload &u) { return u.state == Upload::InFlight; }))
    {
        const int unsent = abandon();
        emit connectError(QStringLiteral("服务不接受这个密钥（%1），已停止发送，%2 张未发送").arg(keyRefusal, QString::number(unsent)));
        emit batchEnded();
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
        emit connectInfo(QStringLiteral("\n全部完成！"));
        emit batchEnded();
    }
}

void RemoveBGConn::sayNow(Upload &upload)
{
    std::vector<Line> lines;
    lines.swap(upload.unsaid);
    for (const Line &line : lines) {
        if (line.kind == Line::Info) {
            emit connectInfo(line.text);
        } else if (line.kind == Line::Error) {
            emit connectError(line.text);
            emit photoFinished(upload.path, false, line.text);
        } else {
            emit receivedData(line.body, upload.path);
            emit photoFinished(upload.path, true, QString());
        }
    }
}

// Ends the batch before every photo was sent: what was in flight is aborted (and so not
// paid for), and cut-outs that had already arrived are reported in order. Returns how
// many photos were left unsent.
int RemoveBGConn::abandon()
{
    wakeTimer->stop();
    accountTimer->stop();
    drop(accountReply);
    int unsent = 0;
    for (std::size_t i = reported; i < uploads.size(); ++i) {
        Upload &upload = uploads[i];
        drop(upload.reply);
        if (upload.state == Upload::Settled) {
            sayNow(upload);
        } else {
            upload.unsaid.clear();
            upload.state = Upload::Queued;
            ++unsent;
        }
    }
    reported = uploads.size();
    running = false;
    return unsent;
}

void RemoveBGConn::clearData()
{
    if (running) {
        abandon();
        emit batchEnded();
    }
    uploads.clear();
    reported = 0;
}

#include "removebgconn.moc"
