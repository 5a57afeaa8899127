#include "startup.h"
#include "widget.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QProcessEnvironment>

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
    QCoreApplication::setApplicationName(QStringLiteral("quorrin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORRIN_VERSION));
    std::unique_ptr<QCoreApplication> app(onlyPrints(argc, argv) ? new QCoreApplication(argc, argv)
                                                                 : new QApplication(argc, argv));
    startup::installQtTranslations(*app);

    QCommandLineParser parser;
    startup::addOptions(parser);
    parser.process(*app);
    const startup::ServiceAddress service =
        startup::chooseServiceAddress(parser, QProcessEnvironment::systemEnvironment());
    if (!service.error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(service.error));
        return 2;
    }

    QApplication::setStyle(QStringLiteral("Fusion"));
    Widget window(service.url);
    window.show();
    return app->exec();
}
