#include "accountcheck.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

AccountAnswer readAccountAnswer(int status, const QByteArray &body, bool complete)
{
    AccountAnswer answer;
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    if (status == 200 && complete) {
        const QJsonValue total = json.value(QLatin1String("data")).toObject().value(QLatin1String("attributes"))
                                     .toObject().value(QLatin1String("credits")).toObject().value(QLatin1String("total"));
        if (total.isDouble()) {
            answer.result = AccountAnswer::Balance;
            answer.balance = total.toDouble();
        }
    } else if (status == 401 || status == 402 || status == 403) {
        QStringList titles;
        for (const QJsonValue &error : json.value(QLatin1String("errors")).toArray())
            titles << error.toObject().value(QLatin1String("title")).toString().simplified();
        titles.removeAll(QString());
        answer.result = AccountAnswer::Refused;
        answer.creditSpent = status == 402;
        answer.why = QStringLiteral("HTTP %1").arg(status)
                     + (titles.isEmpty() ? QString() : QCoreApplication::translate("RemoveBGConn", "：") + titles.join(QStringLiteral("; ")));
    }
    return answer;
}
