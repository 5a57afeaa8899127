#include "cli.h"
#include "commandline.h"
#include "keystore.h"
#include "startup.h"
#include "widget.h"

#include <QApplication>
#include <QCommandLineParser>

#include <clocale>
#include <cstdio>
#include <memory>

namespace {

int openWindow(QCoreApplication &app, const commandline::Early &early)
{
    QCommandLineParser parser;
    commandline::addOptions(parser);
    parser.process(commandline::withOptionalValues(app.arguments()));

    QApplication::setStyle(QStringLiteral("Fusion"));
    Widget window(early.serviceUrl, early.jobs);
    window.setRedo(commandline::redoAll(parser));
    window.setUploadSize(early.size);
    // Options given on the command line win, for this run, over the choices kept from the dialog.
    window.setOutputChoices(commandline::chooseOutput(parser, window.outputChoices()).choices);
    window.openPaths(parser.positionalArguments());
    if (early.review) {
        if (parser.isSet(QStringLiteral("output")))
            window.setOutputPath(parser.value(QStringLiteral("output")));
        window.openReview(true);
        return app.exec();
    }
    window.show();
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    std::setlocale(LC_ALL, "");
    // Refusals of the program's options come first, so that they need no display.
    const commandline::Early early = commandline::readEarly(argc, argv);
    if (!early.refusal.isEmpty()) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(early.refusal));
        return 2;
    }

    QCoreApplication::setApplicationName(QStringLiteral("quorrin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORRIN_VERSION));
    const bool headless = early.batch || early.onlyPrints;
    std::unique_ptr<QCoreApplication> app(headless ? new QCoreApplication(argc, argv) : new QApplication(argc, argv));
    startup::installTranslations(*app);

    if (early.batch && !early.onlyPrints)
        return cli::run(app->arguments(), early, [] { return KeyStore::readNow(); });
    return openWindow(*app, early);
}
