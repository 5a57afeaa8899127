#include "startup.h"

#include "serviceendpoint.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QProcessEnvironment>
#include <QTranslator>

namespace startup {

namespace {

const QString urlOption = QStringLiteral("service-url");
const QString urlVariable = QStringLiteral("QUORRIN_SERVICE_URL");

bool usable(const QUrl &url)
{
    return url.isValid() && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
           && !url.host().isEmpty() && url.path().endsWith(QLatin1String("/v1.0/removebg")) && !url.hasQuery()
           && !url.hasFragment();
}

} // namespace

QUrl builtInServiceUrl()
{
    return QUrl(QStringLiteral(QUORRIN_SERVICE_URL), QUrl::TolerantMode);
}

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Cuts the background out of photographs through the cloud background-removal service,\n"
                       "and rebuilds every cut-out at the photo's full resolution.\n\n"
                       "Environment:\n"
                       "  QUORRIN_SERVICE_URL  the service's address, when --service-url is not given\n"
                       "                       (built in: %1)")
            .arg(builtInServiceUrl().toString()));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({urlOption,
                      QStringLiteral("The service's address, an http or https URL ending in /v1.0/removebg."),
                      QStringLiteral("url")});
}

ServiceAddress chooseServiceAddress(const QCommandLineParser &parser, const QProcessEnvironment &environment)
{
    QString text;
    QString origin;
    if (parser.isSet(urlOption)) {
        text = parser.value(urlOption);
        origin = QStringLiteral("--service-url");
    } else if (!environment.value(urlVariable).isEmpty()) {
        text = environment.value(urlVariable);
        origin = urlVariable;
    } else {
        return {builtInServiceUrl(), {}};
    }
    const QUrl url(text, QUrl::StrictMode);
    if (usable(url))
        return {url, {}};
    return {{},
            QStringLiteral("quorrin: %1 gives the service address \"%2\"; it must be an http or https URL "
                           "ending in /v1.0/removebg")
                .arg(origin, text)};
}

bool installQtTranslations(QCoreApplication &application)
{
    auto *translator = new QTranslator(&application);
    if (translator->load(QLocale(), QStringLiteral("qt"), QStringLiteral("_"),
                         QLibraryInfo::location(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(translator);
        return true;
    }
    delete translator;
    return false;
}

} // namespace startup
