#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class QProcess;

// What a run of a real program left.
struct ProgramRun
{
    int status = -1; // the exit status; -1 when it did not end in time, -2 when it crashed
    QStringList out; // standard output's lines
    QString err;
};

// The test's own environment without a display, as a server's would be.
QProcessEnvironment environmentWithoutDisplay();

// Runs `program` with `input` on its standard input, then closed; `then` runs once it has
// started, while it runs.
ProgramRun runProgram(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                      const QByteArray &input = {}, const std::function<void(QProcess &)> &then = {},
                      int timeoutMs = 20000);

// `program` with --batch against `endpoint`, with no display, no key unless `environment`
// gives one (NAME=value pairs) and no keyring to find one in; "!" first: the arguments as
// they are, without --batch.
ProgramRun runBatch(const QString &program, const QUrl &endpoint, const QStringList &arguments,
                    const QStringList &environment = {}, const QByteArray &input = {},
                    const std::function<void(QProcess &)> &then = {});
