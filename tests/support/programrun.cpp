#include "programrun.h"

#include <QProcess>

QProcessEnvironment environmentWithoutDisplay()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    return environment;
}

ProgramRun runProgram(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                      const QByteArray &input, const std::function<void(QProcess &)> &then, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (then)
        then(process);
    ProgramRun run;
    if (!process.waitForFinished(timeoutMs))
        return run;
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.out = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    if (!run.out.isEmpty() && run.out.last().isEmpty())
        run.out.removeLast();
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

ProgramRun runBatch(const QString &program, const QUrl &endpoint, const QStringList &arguments,
                    const QStringList &environment, const QByteArray &input, const std::function<void(QProcess &)> &then)
{
    QProcessEnvironment variables = environmentWithoutDisplay();
    for (const char *name : {"QUORRIN_API_KEY", "QUORRIN_JOBS"})
        variables.remove(QLatin1String(name));
    variables.insert(QStringLiteral("QUORRIN_SERVICE_URL"), endpoint.toString());
    // No keyring to find a key in: only the variable or the file gives one here.
    variables.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
    for (const QString &pair : environment)
        variables.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    const bool plain = arguments.value(0) == QLatin1String("!");
    return runProgram(program, plain ? arguments.mid(1) : QStringList{"--batch"} << arguments, variables, input, then);
}
