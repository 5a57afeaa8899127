#include "accountcheck.h"

#include "replyclassification.h"
#include "replyreader.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
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
        // The service's words go into one line: a few hundred characters at most.
        answer.why = QStringLiteral("HTTP %1").arg(status)
                     + (titles.isEmpty() ? QString()
                                         : QCoreApplication::translate("RemoveBGConn", "：") + oneLine(titles.join(QStringLiteral("; "))));
    }
    return answer;
}

QUrl AccountCheck::urlFor(const QUrl &endpoint)
{
    QString path = endpoint.path();
    if (!path.endsWith(QLatin1String("/removebg")))
        return {};
    path.chop(8); // "removebg"
    QUrl url = endpoint;
    url.setPath(path + QStringLiteral("account"));
    return url;
}

AccountCheck::AccountCheck(QNetworkAccessManager *manager, const QUrl &endpoint, const QString &key, int timeoutMs,
                           QObject *parent)
    : QObject(parent)
    , manager(manager)
    , url(urlFor(endpoint))
    , key(key)
    , timeoutMs(timeoutMs)
{
}

AccountCheck::~AccountCheck()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void AccountCheck::start()
{
    if (url.isEmpty()) {
        emit answered({});
        return;
    }
    QNetworkRequest request(url);
    request.setRawHeader("X-Api-Key", key.toUtf8());
    reply = manager->get(request);
    new ReplyReader(reply, timeoutMs);
    // Aborting finishes it at once, with no answer: the batch goes on.
    QTimer::singleShot(timeoutMs, reply, &QNetworkReply::abort);
    connect(reply, &QNetworkReply::finished, this, &AccountCheck::finished);
}

void AccountCheck::finished()
{
    QNetworkReply *done = reply;
    reply = nullptr;
    done->deleteLater();
    const ReplyFacts facts = factsOf(done);
    emit answered(readAccountAnswer(facts.status, facts.body,
                                    facts.readerFailure == ReplyReader::None && facts.error != QNetworkReply::OperationCanceledError));
}
