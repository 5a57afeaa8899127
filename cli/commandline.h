#pragma once

#include "outputchoices.h"
#include "removebgconn.h"
#include "shard.h"

#include <QString>
#include <QStringList>
#include <QUrl>

class QCommandLineParser;
class QProcessEnvironment;

// The program's options, read the same by the window and by --batch: where the service is,
// uploads at once, the output choices, and the refusals that need no display.
namespace commandline {

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

// The first option given that only --batch takes (--output goes with --review too); empty
// when there is none.
QString batchOnlyOption(const QCommandLineParser &parser);

struct Size
{
    UploadSize size = UploadSize::Auto;
    QString error; // one line for standard error when the value is none of the three
};
// The size asked of the service: --size preview, full or auto (the default).
Size chooseSize(const QCommandLineParser &parser);

// Whether --redo asks for every photo to be sent again.
bool redoAll(const QCommandLineParser &parser);

// What the command line settles before any application object exists, so that a refusal
// needs no display.
struct Early
{
    QString refusal;         // the one line for standard error, then exit status 2; empty when none
    bool onlyPrints = false; // --help or --version, which print and leave
    bool batch = false;      // --batch: no window
    bool review = false;     // --review: the review window alone
    QUrl serviceUrl;
    int jobs = 0;
    OutputChoices choices;
    Shard shard;
    UploadSize size = UploadSize::Auto;
};
// Qt's own options (-platform, say) are left to the application object, which takes them out.
Early readEarly(int argc, char *argv[]);

} // namespace commandline
