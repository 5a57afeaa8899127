#include "cli.h"

#include "apikey.h"
#include "headlessbatch.h"
#include "stopsignals.h"

#include <QCommandLineParser>

#include <cstdio>

namespace cli {

int run(const QStringList &arguments, const commandline::Early &early, const std::function<QString()> &keyring)
{
    QCommandLineParser parser;
    commandline::addOptions(parser);
    // Bad usage is status 2 here, as every other refusal of a batch's options.
    if (!parser.parse(commandline::withOptionalValues(arguments)) || parser.positionalArguments().size() != 1) {
        std::fprintf(stderr, "quorrin: %s\n",
                     qUtf8Printable(parser.errorText().isEmpty() ? QStringLiteral("--batch takes one photo or folder")
                                                                 : parser.errorText()));
        return 2;
    }
    QString error;
    const QString key = readApiKey(parser.value(QStringLiteral("key-file")), &error, keyring);
    if (key.isEmpty()) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(error));
        return 2;
    }
    HeadlessBatch::Options options;
    options.input = parser.positionalArguments().first();
    options.output = parser.value(QStringLiteral("output"));
    options.report = parser.value(QStringLiteral("report"));
    options.watch = parser.isSet(QStringLiteral("watch"));
    options.redo = commandline::redoAll(parser);
    options.jobs = early.jobs;
    options.endpoint = early.serviceUrl;
    options.choices = early.choices;
    options.shard = early.shard;
    options.size = early.size;
    options.json = parser.isSet(QStringLiteral("json"));
    // Standard error carries errors alone (and a progress line on a terminal).
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "quorrin: %s\n", qUtf8Printable(message));
    });
    HeadlessBatch batch(options, key);
    catchStopSignals(&batch, [&batch] { batch.interrupt(); });
    return batch.run();
}

} // namespace cli
