#include "headlessbatch.h"
#include "startup.h"
#include "widget.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QProcessEnvironment>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// --help and --version print and leave, so they need no display.
bool onlyPrints(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        for (const char *option : {"-h", "--help", "--help-all", "-?", "-v", "--version"})
            if (std::strcmp(argv[i], option) == 0)
                return true;
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    // Refusals of the program's options come first, so that they need no display. Qt's own
    // options (-platform, say) are left to the application object, which takes them out.
    std::setlocale(LC_ALL, "");
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser early;
    startup::addOptions(early);
    if (!early.parse(startup::withOptionalValues(startup::withoutQtOptions(arguments))) && !onlyPrints(argc, argv)) {
        std::fprintf(stderr, "quorrin: %s\n", qUtf8Printable(early.errorText()));
        return 2;
    }
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const startup::ServiceAddress service = startup::chooseServiceAddress(early, environment);
    const startup::Jobs jobs = startup::chooseJobs(early, environment);
    const startup::Output output = startup::chooseOutput(early);
    if (!onlyPrints(argc, argv)) {
        for (const QString &error : {service.error, jobs.error, output.error}) {
            if (!error.isEmpty()) {
                std::fprintf(stderr, "%s\n", qUtf8Printable(error));
                return 2;
            }
        }
    }

    const bool headless = early.isSet(QStringLiteral("batch"));
    if (!onlyPrints(argc, argv) && !headless && !startup::batchOnlyOption(early).isEmpty()) {
        std::fprintf(stderr, "quorrin: %s goes with --batch\n", qUtf8Printable(startup::batchOnlyOption(early)));
        return 2;
    }

    QCoreApplication::setApplicationName(QStringLiteral("quorrin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORRIN_VERSION));
    std::unique_ptr<QCoreApplication> app(onlyPrints(argc, argv) || headless ? new QCoreApplication(argc, argv)
                                                                             : new QApplication(argc, argv));
    startup::installTranslations(*app);

    QCommandLineParser parser;
    startup::addOptions(parser);
    if (headless && !onlyPrints(argc, argv)) {
        // Bad usage is status 2 here, as every other refusal of a batch's options.
        if (!parser.parse(startup::withOptionalValues(app->arguments())) || parser.positionalArguments().size() != 1) {
            std::fprintf(stderr, "quorrin: %s\n",
                         qUtf8Printable(parser.errorText().isEmpty() ? QStringLiteral("--batch takes one photo or folder")
                                                                     : parser.errorText()));
            return 2;
        }
        QString error;
        const QString key = readApiKey(parser.value(QStringLiteral("key-file")), &error);
        if (key.isEmpty()) {
            std::fprintf(stderr, "%s\n", qUtf8Printable(error));
            return 2;
        }
        HeadlessBatch::Options options;
        options.input = parser.positionalArguments().first();
        options.output = parser.value(QStringLiteral("output"));
        options.report = parser.value(QStringLiteral("report"));
        options.watch = parser.isSet(QStringLiteral("watch"));
        options.redo = startup::redoAll(parser);
        options.jobs = jobs.count;
        options.endpoint = service.url;
        options.choices = output.choices;
        // Standard error carries errors alone (and a progress line on a terminal).
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                std::fprintf(stderr, "quorrin: %s\n", qUtf8Printable(message));
        });
        HeadlessBatch batch(options, key);
        catchStopSignals(&batch, [&batch] { batch.interrupt(); });
        return batch.run();
    }
    parser.process(startup::withOptionalValues(app->arguments()));

    QApplication::setStyle(QStringLiteral("Fusion"));
    Widget window(service.url, jobs.count);
    window.setRedo(startup::redoAll(parser));
    // Options given on the command line win, for this run, over the choices kept from the dialog.
    window.setOutputChoices(startup::chooseOutput(parser, window.outputChoices()).choices);
    window.openPaths(parser.positionalArguments());
    window.show();
    return app->exec();
}
