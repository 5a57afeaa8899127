#include "replyclassification.h"

#include "bilingualtext.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QStringList>

namespace {

void setLine(ReplyVerdict &verdict, const BilingualText &line)
{
    verdict.line = line.shown;
    verdict.lineForReport = line.original;
}

bool isImage(const QByteArray &body)
{
    return body.startsWith("\x89PNG\r\n\x1a\n") || body.startsWith("\xff\xd8\xff");
}

// Failures of the connection itself, which another try may well not meet.
bool isPassingNetworkError(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return false;
    }
}

} // namespace

namespace {

// However much the service sends, one line of the log and the report.
constexpr int longestLine = 300;

} // namespace

QString oneLine(const QString &text)
{
    QString line = text.simplified();
    if (line.size() <= longestLine)
        return line;
    int cut = longestLine - 1;
    if (line.at(cut - 1).isHighSurrogate())
        --cut;
    return line.left(cut) + QChar(0x2026);
}

QString serviceExplanation(const QByteArray &body)
{
    QString joined;
    const QJsonArray errors = QJsonDocument::fromJson(body).object().value(QLatin1String("errors")).toArray();
    for (const QJsonValue &error : errors) {
        const QString title = error.toObject().value(QLatin1String("title")).toString().simplified();
        const QString detail = error.toObject().value(QLatin1String("detail")).toString().simplified();
        if (title.isEmpty() && detail.isEmpty())
            continue;
        if (!joined.isEmpty())
            joined += QStringLiteral("; ");
        joined += title.isEmpty() || detail.isEmpty() ? title + detail : title + QStringLiteral(": ") + detail;
        if (joined.size() > longestLine)
            break;
    }
    return oneLine(joined);
}

ReplyFacts factsOf(QNetworkReply *reply)
{
    ReplyFacts facts;
    facts.error = reply->error();
    facts.errorString = reply->errorString();
    facts.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    facts.contentType = reply->rawHeader("Content-Type");
    if (ReplyReader *reader = ReplyReader::of(reply)) {
        reader->take();
        facts.body = reader->body;
        facts.readerFailure = reader->failure;
    }
    return facts;
}

ReplyVerdict classifyReply(const ReplyFacts &facts, int stallTimeoutMs)
{
    ReplyVerdict verdict;
    if (facts.readerFailure == ReplyReader::TooLarge) {
        verdict.kind = UploadOutcome::TooLarge;
        setLine(verdict, BilingualText::translate("ReplyClassification", "服务的回复超过 256 MiB，已中止接收"));
        return verdict;
    }
    if (facts.readerFailure == ReplyReader::Stalled) {
        verdict.kind = UploadOutcome::Stalled;
        setLine(verdict, BilingualText::translate("ReplyClassification", "服务 %1 秒没有收发任何数据，已中止")
                        .arg(QString::number(stallTimeoutMs / 1000.0)));
        verdict.passing = true;
        return verdict;
    }
    if (facts.error != QNetworkReply::NoError) {
        verdict.explanation = serviceExplanation(facts.body);
        verdict.line = verdict.explanation.isEmpty() ? facts.errorString
                                                     : facts.errorString + QStringLiteral(" — ") + verdict.explanation;
        verdict.lineForReport = verdict.line;
        const int status = facts.status;
        if (status == 0) {
            verdict.kind = UploadOutcome::Network;
            verdict.passing = isPassingNetworkError(facts.error);
        } else {
            verdict.kind = status == 402                   ? UploadOutcome::CreditSpent
                           : status == 401 || status == 403 ? UploadOutcome::KeyRefused
                                                            : UploadOutcome::Refused;
            verdict.busy = status == 429;
            verdict.passing = status == 500 || status == 502 || status == 503 || status == 504;
        }
        return verdict;
    }
    if (facts.status / 100 == 2 && isImage(facts.body))
        return verdict;
    // A redirect is never followed (the key would travel to another address), and a page
    // or an empty body is no cut-out.
    const QString type = QString::fromLatin1(facts.contentType).simplified();
    verdict.kind = UploadOutcome::NotAnImage;
    setLine(verdict, BilingualText::translate("ReplyClassification", "服务的回复不是图片：HTTP %1，类型 %2，%3 字节")
                    .arg(QString::number(facts.status))
                    .arg(type.isEmpty() ? BilingualText::translate("ReplyClassification", "（无）") : BilingualText{type, type})
                    .arg(QString::number(facts.body.size())));
    return verdict;
}
