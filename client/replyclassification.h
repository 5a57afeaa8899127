#pragma once

#include "replyreader.h"
#include "uploadoutcome.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QString>

// What a finished reply came to, read off its facts alone: a plain function, so that every
// kind of answer can be tried from a table without a server.
struct ReplyFacts
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorString;     // the network layer's text for `error`
    int status = 0;          // 0: no HTTP answer at all
    QByteArray contentType;
    QByteArray body;         // what the reader kept
    ReplyReader::Failure readerFailure = ReplyReader::None;
};

struct ReplyVerdict
{
    UploadOutcome::Kind kind = UploadOutcome::CutOut;
    QString line;        // the log line of a failure; empty for a cut-out
    QString lineForReport; // the same in the sources' language, as the JSON report keeps it
    QString explanation; // the service's own words from its JSON error body
    bool busy = false;    // 429: the whole batch waits
    bool passing = false; // 5xx, a lost connection or a stall: another try may well succeed
};

ReplyVerdict classifyReply(const ReplyFacts &facts, int stallTimeoutMs);

// The facts of a finished reply, its reader's body included.
ReplyFacts factsOf(QNetworkReply *reply);

// The service's words as one line of a few hundred characters at most, cut with an ellipsis.
QString oneLine(const QString &text);

// The titles and details of a JSON error body ({"errors":[{"title":..,"detail":..}]}), or empty.
QString serviceExplanation(const QByteArray &body);
