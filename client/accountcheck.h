#pragma once

#include <QByteArray>
#include <QString>

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
