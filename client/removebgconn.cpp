#include "removebgconn.h"

#include "serviceendpoint.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

RemoveBGConn::RemoveBGConn()
    : RemoveBGConn(QUrl(QStringLiteral(QUORRIN_SERVICE_URL), QUrl::TolerantMode))
{
}

RemoveBGConn::RemoveBGConn(const QUrl &endpoint)
    // A child, so that moving the client to the worker thread takes the manager along:
    // it must live on the thread that posts through it.
    : networkManager(new QNetworkAccessManager(this))
    , endpoint(endpoint)
{
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
    if (file.open(QIODevice::ReadOnly)) {
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

    const QNetworkReply::NetworkError error = reply->error();
    const QString errorText = reply->errorString();
    const QByteArray body = error == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    reply->deleteLater();
    currentReply = nullptr;

    emit connectInfo(QStringLiteral("发送完成！正在接收..."));
    if (error != QNetworkReply::NoError) {
        emit connectError(errorText);
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
