#pragma once

#include "batch.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// One photo's object of the report, and the report without its photos: the lines --json
// writes as each photo ends and at the end.
QJsonObject photoReport(const PhotoOutcome &photo);
QJsonObject accountReport(const BatchAccount &account, const QString &input, const QString &output, int status);

// The report --report writes when a batch ends: each photo's outcome and files, the counts,
// the exit status and the balance left, as JSON that reads the same in every language.
QByteArray jsonReport(const BatchAccount &account, const QString &input, const QString &output, int status);

// Writes it whole or not at all; when it cannot, one line on standard error says why.
bool writeJsonReport(const QString &file, const BatchAccount &account, const QString &input, const QString &output,
                     int status);
