#pragma once

#include "removebgconn.h"

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
    }

    int count(const QString &event) const { return events.count(event); }

    QStringList events;
    QStringList errors;
    QList<QByteArray> bodies;
};

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

inline const QString allDone = QStringLiteral("info:\n全部完成！");
