#pragma once

#include "removebgconn.h"

#include <QFileInfo>
#include <QObject>
#include <QStringList>

// Everything the client reports, as one list in emission order:
// "info:<text>", "error", or "data:<path>:<body size>".
class EventLog : public QObject
{
public:
    explicit EventLog(RemoveBGConn *client)
    {
        connect(client, &RemoveBGConn::connectInfo, this,
                [this](const QString &info) { events << QStringLiteral("info:") + info; });
        connect(client, &RemoveBGConn::connectError, this, [this](const QString &error) {
            events << QStringLiteral("error");
            errors << error;
        });
        connect(client, &RemoveBGConn::receivedData, this, [this](const QByteArray &body, const QString &path) {
            events << QStringLiteral("data:%1:%2").arg(path).arg(body.size());
            bodies << body;
        });
        connect(client, &RemoveBGConn::photoFinished, this, [this](const UploadOutcome &outcome) {
            const bool succeeded = outcome.kind == UploadOutcome::CutOut;
            outcomes << QFileInfo(outcome.path).fileName() + (outcome.late ? QStringLiteral(":late") : QString())
                            + (succeeded ? QStringLiteral(":ok") : outcome.kind == UploadOutcome::Abandoned ? QStringLiteral(":abandoned") : QStringLiteral(":failed"));
            if (!succeeded && !outcome.late)
                reasons << outcome.reason;
            typed << outcome;
        });
        connect(client, &RemoveBGConn::uploadsEnded, this, [this](const UploadsEnded &end) {
            ++ends;
            lastEnd = end;
        });
    }

    int count(const QString &event) const { return events.count(event); }

    QStringList events;
    QStringList errors;
    QList<QByteArray> bodies;
    QStringList outcomes; // "<file name>[:late]:ok", ":failed" or ":abandoned", in order
    QStringList reasons;  // of each failure in its batch
    QList<UploadOutcome> typed;
    int ends = 0;
    UploadsEnded lastEnd;
};

// Posts the photos with one key; the last one starts the batch.
inline void postBatch(RemoveBGConn &client, const QStringList &paths, const QString &key = QStringLiteral("key"))
{
    for (int i = 0; i < paths.size(); ++i)
        client.postData(paths.at(i), key, i == paths.size() - 1);
}

// The waits of a client under test, short enough for a test and long enough to be seen.
inline RemoveBGConn::Settings quickSettings(int jobs = 1, int stallTimeoutMs = 120000)
{
    RemoveBGConn::Settings settings;
    settings.jobs = jobs;
    settings.stallTimeoutMs = stallTimeoutMs;
    settings.retryDelaysMs[0] = 50;
    settings.retryDelaysMs[1] = 100;
    settings.defaultRetryAfterMs = 300;
    settings.accountTimeoutMs = 1000;
    return settings;
}

// The lines the client reports for one task that is sent and answered.
inline QStringList sentLines(const QString &path)
{
    return {QStringLiteral("info:"), QStringLiteral("info:") + path, QStringLiteral("info:正在发送..."),
            QStringLiteral("info:发送完成！正在接收...")};
}

inline QStringList succeededLines(const QString &path, int bodySize)
{
    return sentLines(path) << QStringLiteral("info:接收完成！")
                           << QStringLiteral("data:%1:%2").arg(path).arg(bodySize);
}

inline QStringList failedLines(const QString &path)
{
    return sentLines(path) << QStringLiteral("error");
}

// The lines of one more try, after the line that announces it.
inline QStringList retriedLines(const QString &announcement)
{
    return {QStringLiteral("info:") + announcement, QStringLiteral("info:正在发送..."),
            QStringLiteral("info:发送完成！正在接收...")};
}

inline const QString allDone = QStringLiteral("info:\n全部完成！");
