#pragma once

#include "outputchoices.h"

#include <QString>
#include <QStringList>
#include <QUrl>

class QCommandLineParser;
class QCoreApplication;
class QProcessEnvironment;

// What the program settles before its window opens: its options, where the service is,
// and Qt's own texts in the user's language.
namespace startup {

// The build's address, compiled in; --service-url and then QUORRIN_SERVICE_URL override it.
QUrl builtInServiceUrl();

void addOptions(QCommandLineParser &parser);

struct ServiceAddress
{
    QUrl url;      // set when the address is usable
    QString error; // one line for standard error otherwise
};
// The option beats the variable, the variable beats the build. An address must be an
// absolute http or https URL ending in /v1.0/removebg.
ServiceAddress chooseServiceAddress(const QCommandLineParser &parser, const QProcessEnvironment &environment);

struct Jobs
{
    int count = 0; // 1 to 8 when usable
    QString error; // one line for standard error otherwise
};
// Uploads in flight at once: --jobs beats QUORRIN_JOBS, which beats the default of 4.
Jobs chooseJobs(const QCommandLineParser &parser, const QProcessEnvironment &environment);

// The arguments as the parser reads them: --crop followed by a number takes it as its margin,
// as --crop=5 does; a bare --crop, whose margin is optional, becomes "--crop=" (the default).
QStringList withOptionalValues(const QStringList &arguments);

// The arguments without the options that QApplication takes for itself (-platform, -style
// and the others, with their values).
QStringList withoutQtOptions(const QStringList &arguments);

struct Output
{
    OutputChoices choices;
    QString error; // one line for standard error when a choice cannot be read
};
// The output choices the command line gives, each over the one in `base`.
Output chooseOutput(const QCommandLineParser &parser, const OutputChoices &base = {});

// The first option given that only --batch takes; empty when there is none.
QString batchOnlyOption(const QCommandLineParser &parser);

// Whether --redo asks for every photo to be sent again.
bool redoAll(const QCommandLineParser &parser);

// Loads Qt's translations for the system's language, so that the file dialogs and the
// network layer's error texts speak it. Returns whether any was loaded.
bool installQtTranslations(QCoreApplication &application);

// Loads Quorrin's own translation for the first of the interface languages (as the system
// lists them) when one ships with the program; otherwise its texts stay in Chinese, the
// language they are written in. Returns whether one was loaded.
bool installOwnTranslation(QCoreApplication &application, const QStringList &uiLanguages);

// Both, for the system's languages: the program's texts and Qt's own agree.
void installTranslations(QCoreApplication &application);

} // namespace startup
