#pragma once

#include "replyclassification.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// How long to wait before another try. The defaults are the program's; tests shorten them.
struct RetryWaits
{
    int retryDelaysMs[2] = {2000, 8000}; // after a passing failure (5xx, a lost connection, a stall)
    int defaultRetryAfterMs = 5000;      // a 429 without Retry-After
    int maxRetryAfterMs = 120 * 1000;
};

// Whether a failed try is tried again, after how long, and the line that says so.
struct RetryStep
{
    bool again = false;
    bool holdsBackBatch = false; // a 429: nothing at all is sent until the wait is over
    qint64 waitMs = 0;
    QString line;
};

constexpr int maxTries = 5;
constexpr int maxPassingFailures = 2;

// `tries` counts the tries made so far, this one included; `passingFailures` the passing
// failures before this one. A plain function: no clock but `now`, no timer, no server.
RetryStep nextStep(const ReplyVerdict &verdict, int status, const QByteArray &retryAfter, int tries,
                   int passingFailures, const RetryWaits &waits, const QDateTime &now);

// How long the service asks to wait: seconds or an HTTP date; -1 when it says nothing usable.
qint64 retryAfterMs(const QByteArray &header, const QDateTime &now);
