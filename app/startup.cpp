#include "startup.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

// Outside any namespace, as the resource's initialiser is declared there.
static void initTranslationResource()
{
    Q_INIT_RESOURCE(translations);
}

namespace startup {

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

bool installOwnTranslation(QCoreApplication &application, const QStringList &uiLanguages)
{
    initTranslationResource();
    // Only the first language counts: one listed after Chinese must not win over it.
    const QLocale first(uiLanguages.value(0, QStringLiteral("C")));
    if (first.language() == QLocale::C)
        return false;
    auto *translator = new QTranslator(&application);
    if (translator->load(first, QStringLiteral("quorrin"), QStringLiteral("_"), QStringLiteral(":/translations"))) {
        QCoreApplication::installTranslator(translator);
        return true;
    }
    delete translator;
    return false;
}

void installTranslations(QCoreApplication &application)
{
    installOwnTranslation(application, QLocale::system().uiLanguages());
    installQtTranslations(application);
}

} // namespace startup
