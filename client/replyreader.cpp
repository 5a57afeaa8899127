#include "replyreader.h"

#include <QNetworkReply>

ReplyReader::ReplyReader(QNetworkReply *reply, int stallTimeoutMs)
    : QObject(reply)
    , reply(reply)
{
    // Set again on the next turn of the event loop, once the request has begun: the HTTP
    // layer's own reader does not exist yet when the request is posted, hears only of a
    // size set after it began, and must hear of it before the first byte comes, or it
    // never holds back.
    reply->setReadBufferSize(readAheadBytes);
    QMetaObject::invokeMethod(this, [reply] { reply->setReadBufferSize(readAheadBytes); }, Qt::QueuedConnection);
    stallTimer.setSingleShot(true);
    stallTimer.setInterval(stallTimeoutMs);
    connect(&stallTimer, &QTimer::timeout, this, [this] { giveUp(Stalled); });
    connect(reply, &QNetworkReply::uploadProgress, this, [this] { stallTimer.start(); });
    connect(reply, &QNetworkReply::downloadProgress, this, [this] { stallTimer.start(); });
    connect(reply, &QNetworkReply::readyRead, this, &ReplyReader::take);
    connect(reply, &QNetworkReply::finished, &stallTimer, &QTimer::stop);
    stallTimer.start();
}

ReplyReader *ReplyReader::of(QNetworkReply *reply)
{
    return reply->findChild<ReplyReader *>(QString(), Qt::FindDirectChildrenOnly);
}

void ReplyReader::take()
{
    if (failure != None)
        return;
    const qint64 available = reply->bytesAvailable();
    if (body.size() + available > maxBodyBytes)
        giveUp(TooLarge);
    else if (available > 0)
        body += reply->read(available);
}

void ReplyReader::giveUp(Failure why)
{
    failure = why;
    stallTimer.stop();
    body.clear();
    reply->abort(); // emits finished at once; the client then reads `failure`
}
