#include "jsonreport.h"

#include "headlessbatch.h"
#include "printline.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

const char *outcomeName(PhotoOutcome::Kind kind)
{
    switch (kind) {
    case PhotoOutcome::Saved:
        return "saved";
    case PhotoOutcome::Finished:
        return "finished";
    case PhotoOutcome::Derived:
        return "derived";
    case PhotoOutcome::Skipped:
        return "skipped";
    case PhotoOutcome::NoSubject:
        return "no-subject";
    case PhotoOutcome::Failed:
        return "failed";
    case PhotoOutcome::Pending:
    case PhotoOutcome::Unsent:
        break;
    }
    return "unsent";
}

const char *failureName(PhotoOutcome::Failure failure)
{
    switch (failure) {
    case PhotoOutcome::NoFailure:
        break;
    case PhotoOutcome::KeyRefused:
        return "key-refused";
    case PhotoOutcome::Refused:
        return "refused";
    case PhotoOutcome::NotAnImage:
        return "not-an-image";
    case PhotoOutcome::TooLarge:
        return "too-large";
    case PhotoOutcome::Stalled:
        return "stalled";
    case PhotoOutcome::Network:
        return "network";
    case PhotoOutcome::SaveFailed:
        return "save-failed";
    case PhotoOutcome::CompositeFailed:
        return "composite-failed";
    case PhotoOutcome::Damaged:
        return "damaged";
    }
    return "";
}

} // namespace

QJsonObject photoReport(const PhotoOutcome &photo)
{
    QJsonObject entry{{QStringLiteral("path"), photo.source}, {QStringLiteral("outcome"), QLatin1String(outcomeName(photo.kind))}};
    if (photo.kind == PhotoOutcome::Failed) {
        entry.insert(QStringLiteral("failure"), QLatin1String(failureName(photo.failure)));
        entry.insert(QStringLiteral("reason"), photo.reasonForReport);
        if (!photo.explanation.isEmpty())
            entry.insert(QStringLiteral("explanation"), photo.explanation);
    }
    // What this run wrote: a result, or the service's cut-out kept where the composite failed.
    QJsonArray files;
    if (photo.kind == PhotoOutcome::Saved || photo.kind == PhotoOutcome::Finished || photo.kind == PhotoOutcome::NoSubject
        || photo.failure == PhotoOutcome::CompositeFailed)
        files << photo.result;
    for (const QString &file : photo.files)
        files << file;
    entry.insert(QStringLiteral("files"), files);
    if (!photo.checks.isEmpty()) {
        QJsonArray checks;
        for (const PresetCheck &check : photo.checks)
            checks << QJsonObject{{QStringLiteral("rule"), check.rule},
                                  {QStringLiteral("ok"), check.ok},
                                  {QStringLiteral("detail"), check.detailOriginal}};
        entry.insert(QStringLiteral("checks"), checks);
    }
    return entry;
}

QJsonObject accountReport(const BatchAccount &account, const QString &input, const QString &output, int status)
{
    QJsonObject counts;
    for (PhotoOutcome::Kind kind : {PhotoOutcome::Saved, PhotoOutcome::Finished, PhotoOutcome::Derived, PhotoOutcome::Skipped,
                                    PhotoOutcome::NoSubject, PhotoOutcome::Failed, PhotoOutcome::Unsent})
        counts.insert(QLatin1String(outcomeName(kind)), account.count(kind));
    QJsonObject report{{QStringLiteral("input"), input},
                       {QStringLiteral("output"), output},
                       {QStringLiteral("stopped"), account.stopped || status == HeadlessBatch::Interrupted},
                       {QStringLiteral("exitStatus"), status},
                       {QStringLiteral("counts"), counts}};
    static const char *const sizes[] = {"auto", "preview", "full"};
    report.insert(QStringLiteral("size"), QLatin1String(sizes[int(account.size)]));
    report.insert(QStringLiteral("credits"), account.credits);
    if (const int fellShort = account.fallenShort())
        report.insert(QStringLiteral("fellShort"), fellShort);
    if (account.balanceKnown)
        report.insert(QStringLiteral("balanceLeft"), account.balanceLeft);
    return report;
}

QByteArray jsonReport(const BatchAccount &account, const QString &input, const QString &output, int status)
{
    QJsonArray photos;
    for (const PhotoOutcome &photo : account.photos)
        photos << photoReport(photo);
    QJsonObject report = accountReport(account, input, output, status);
    report.insert(QStringLiteral("photos"), photos);
    return QJsonDocument(report).toJson();
}

bool writeJsonReport(const QString &file, const BatchAccount &account, const QString &input, const QString &output,
                     int status)
{
    QSaveFile saved(file);
    const QByteArray json = jsonReport(account, input, output, status);
    if (saved.open(QIODevice::WriteOnly) && saved.write(json) == json.size() && saved.commit())
        return true;
    printLine(stderr, QStringLiteral("quorrin: cannot write the report %1: %2").arg(file, saved.errorString()));
    return false;
}
