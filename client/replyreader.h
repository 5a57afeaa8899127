#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QNetworkReply;

// Reads one reply as its bytes arrive, so that no more than the cap is ever held, and gives
// it up when nothing has moved for the stall limit. A child of its reply.
class ReplyReader : public QObject
{
    Q_OBJECT

public:
    enum Failure { None, TooLarge, Stalled };

    // The most of one reply's body that is ever held, after any content decoding.
    static constexpr qint64 maxBodyBytes = qint64(256) << 20;
    // What Qt's HTTP layer may read ahead of us; without a limit it reads the socket as fast
    // as the peer sends, however much is still unread.
    static constexpr qint64 readAheadBytes = qint64(1) << 20;

    ReplyReader(QNetworkReply *reply, int stallTimeoutMs);

    // The reader of a reply, made when it was sent.
    static ReplyReader *of(QNetworkReply *reply);

    // Moves what has arrived into `body`, unless that would pass the cap.
    void take();

    Failure failure = None;
    QByteArray body;

private:
    void giveUp(Failure why);

    QNetworkReply *reply;
    QTimer stallTimer;
};
