#include "retrypolicy.h"

#include <QCoreApplication>
#include <QLocale>

#include <algorithm>

namespace {

QString secondsText(qint64 ms)
{
    return QString::number(ms / 1000.0);
}

} // namespace

qint64 retryAfterMs(const QByteArray &header, const QDateTime &now)
{
    const QByteArray text = header.trimmed();
    if (text.isEmpty())
        return -1;
    bool isNumber = false;
    const qint64 seconds = text.toLongLong(&isNumber);
    if (isNumber)
        return seconds < 0 ? -1 : std::min<qint64>(seconds, 1 << 20) * 1000;
    QDateTime when = QLocale::c().toDateTime(QString::fromLatin1(text).simplified(),
                                             QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!when.isValid())
        return -1;
    when.setTimeSpec(Qt::UTC);
    return std::max<qint64>(0, now.msecsTo(when));
}

RetryStep nextStep(const ReplyVerdict &verdict, int status, const QByteArray &retryAfter, int tries,
                   int passingFailures, const RetryWaits &waits, const QDateTime &now)
{
    RetryStep step;
    if (verdict.kind == UploadOutcome::CutOut || tries >= maxTries)
        return step;
    const qint64 askedMs = retryAfterMs(retryAfter, now);
    if (verdict.busy) {
        step.again = true;
        step.holdsBackBatch = true;
        step.waitMs = std::min<qint64>(askedMs < 0 ? waits.defaultRetryAfterMs : askedMs, waits.maxRetryAfterMs);
        step.line = QCoreApplication::translate("RetryPolicy", "服务繁忙（HTTP 429），%1 秒后重试").arg(secondsText(step.waitMs));
        return step;
    }
    if (!verdict.passing || passingFailures >= maxPassingFailures)
        return step;
    step.again = true;
    step.waitMs = status == 503 && askedMs >= 0 ? std::min<qint64>(askedMs, waits.maxRetryAfterMs)
                                                 : waits.retryDelaysMs[passingFailures];
    step.line = verdict.kind == UploadOutcome::Refused ? QCoreApplication::translate("RetryPolicy", "服务出错（HTTP %1），%2 秒后重试").arg(QString::number(status), secondsText(step.waitMs))
                              : QCoreApplication::translate("RetryPolicy", "连接出错（%1），%2 秒后重试").arg(verdict.line, secondsText(step.waitMs));
    return step;
}
