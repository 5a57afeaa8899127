#include "removebgconn.h"

#include "serviceendpoint.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

// The most of one reply's body that is ever held, after any content decoding.
constexpr qint64 maxReplyBytes = qint64(256) << 20;
constexpr int defaultStallTimeoutMs = 120 * 1000;
constexpr qint64 maxUploadFileBytes = qint64(1) << 30;

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

} // namespace

RemoveBGConn::RemoveBGConn()
    : RemoveBGConn(QUrl(QStringLiteral(QUORRIN_SERVICE_URL), QUrl::TolerantMode))
{
}

RemoveBGConn::RemoveBGConn(const QUrl &endpoint)
    : RemoveBGConn(endpoint, defaultStallTimeoutMs)
{
}

RemoveBGConn::RemoveBGConn(const QUrl &endpoint, int stallTimeoutMs)
    // A child, so that moving the client to the worker thread takes the manager along:
    // it must live on the thread that posts through it.
    : networkManager(new QNetworkAccessManager(this))
    , endpoint(endpoint)
    , stallTimeoutMs(stallTimeoutMs)
{
    networkManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

RemoveBGConn::~RemoveBGConn()
{
    // Abort uploads still in flight without reporting them; the manager and its
    // replies are then deleted with this object.
    const auto replies = networkManager->findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies) {
        reply->disconnect(this);
        reply->abort();
    }
}

void RemoveBGConn::postData(QString filepath, QString token, bool start)
{
    filePaths.append(filepath);
    tokens.append(token);
    if (start) {
        cursor = 0;
        postDataReal();
    }
}

bool RemoveBGConn::postDataReal()
{
    const QString path = filePaths.at(cursor);
    const QString token = tokens.at(cursor);
    emit connectInfo(QString());
    emit connectInfo(path);

    QByteArray image;
    QFile file(path);
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
    request.setRawHeader("X-Api-Key", token.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    currentReply = networkManager->post(request, body);
    new ReplyReader(currentReply, stallTimeoutMs);
    emit connectInfo(QStringLiteral("正在发送..."));
    connect(currentReply, &QNetworkReply::finished, this, &RemoveBGConn::solveReply);
    return true;
}

void RemoveBGConn::solveReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    if (reply != currentReply) {
        // Its batch was cleared or replaced: it must not report, nor move the cursor.
        reply->deleteLater();
        return;
    }

    auto *reader = reply->findChild<ReplyReader *>(QString(), Qt::FindDirectChildrenOnly);
    reader->take();
    const QString failure = failureOf(reply, *reader, stallTimeoutMs);
    const QByteArray body = failure.isEmpty() ? reader->body : QByteArray();
    reply->deleteLater();
    currentReply = nullptr;

    emit connectInfo(QStringLiteral("发送完成！正在接收..."));
    if (!failure.isEmpty()) {
        emit connectError(failure);
    } else {
        emit connectInfo(QStringLiteral("接收完成！"));
        emit receivedData(body, filePaths.at(cursor));
    }

    ++cursor;
    if (cursor < filePaths.size())
        postDataReal();
    else if (cursor == filePaths.size())
        emit connectInfo(QStringLiteral("\n全部完成！"));
}

void RemoveBGConn::clearData()
{
    filePaths.clear();
    tokens.clear();
    cursor = 0;
    // Whatever is still in flight now belongs to no batch.
    currentReply = nullptr;
}

#include "removebgconn.moc"
