#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// What the service's answer to GET .../account says of the key, before anything is spent.
struct AccountAnswer
{
    enum Result { Unknown, Balance, Refused } result = Unknown;
    double balance = 0;
    QString why; // of a refusal: "HTTP 401" and the service's titles
    bool creditSpent = false; // a 402: the key is fine, its credit is not
};

// `complete` is false when the answer was cut short (too large, or too late).
AccountAnswer readAccountAnswer(int status, const QByteArray &body, bool complete);

// One question to the service's account address: what is left on a key, or whether it is
// refused. The answer comes once, through `answered`, within the time given: a question
// with no answer in time, or with no account address at all, is answered Unknown.
class AccountCheck : public QObject
{
    Q_OBJECT

public:
    // The account address beside an endpoint ending in /removebg; empty when it has none.
    static QUrl urlFor(const QUrl &endpoint);

    AccountCheck(QNetworkAccessManager *manager, const QUrl &endpoint, const QString &key, int timeoutMs,
                 QObject *parent = nullptr);
    ~AccountCheck() override;
    // Asks; with no account address, answers Unknown at once.
    void start();

signals:
    void answered(const AccountAnswer &answer);

private:
    void finished();

    QNetworkAccessManager *manager;
    QUrl url;
    QString key;
    int timeoutMs;
    QNetworkReply *reply = nullptr;
};
