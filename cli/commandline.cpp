#include "commandline.h"

#include "serviceendpoint.h"

#include <QCommandLineParser>
#include <QProcessEnvironment>

#include <cstring>

namespace commandline {

namespace {

const QString urlOption = QStringLiteral("service-url");
const QString urlVariable = QStringLiteral("QUORRIN_SERVICE_URL");
const QString jobsOption = QStringLiteral("jobs");
const QString jobsVariable = QStringLiteral("QUORRIN_JOBS");
const QString redoOption = QStringLiteral("redo");
constexpr int defaultJobs = 4;
constexpr int mostJobs = 8;

// --help and --version print and leave, so they need no display.
bool onlyPrints(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        for (const char *option : {"-h", "--help", "--help-all", "-?", "-v", "--version"})
            if (std::strcmp(argv[i], option) == 0)
                return true;
    return false;
}

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
                       "                       (built in: %1)\n"
                       "  QUORRIN_JOBS         uploads at once, when --jobs is not given\n"
                       "  QUORRIN_API_KEY      the API key for --batch, when --key-file is not given\n\n"
                       "Without --batch it opens the window. With --batch it runs one batch with no display:\n"
                       "the log on standard output, a progress line on a terminal, and the exit status\n"
                       "0 (every photo saved or skipped), 1 (some failed), 2 (bad usage), 3 (the key\n"
                       "refused or the credit spent), 4 (none failed, but some results fall short of\n"
                       "their preset's rules) or 130 (stopped by SIGINT or SIGTERM).")
            .arg(builtInServiceUrl().toString()));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({urlOption,
                      QStringLiteral("The service's address, an http or https URL ending in /v1.0/removebg."),
                      QStringLiteral("url")});
    parser.addOption({jobsOption, QStringLiteral("Uploads in flight at once, 1 to %1 (default %2).").arg(mostJobs).arg(defaultJobs),
                      QStringLiteral("n")});
    parser.addOption({redoOption, QStringLiteral("Send every photo again, even one whose result is already complete.")});
    parser.addOption({QStringLiteral("batch"), QStringLiteral("Run one batch for INPUT (a photo or a folder) with no window.")});
    parser.addOption({QStringLiteral("review"),
                      QStringLiteral("Open the review window on INPUT's results (under --output, if given) to look at "
                                     "them and touch them up.")});
    parser.addOption({QStringLiteral("output"),
                      QStringLiteral("With --batch: the result file or folder (default: as the window proposes)."),
                      QStringLiteral("path")});
    parser.addOption({QStringLiteral("key-file"),
                      QStringLiteral("With --batch: read the API key from this file's first line; - reads standard input."),
                      QStringLiteral("file")});
    parser.addOption({QStringLiteral("report"),
                      QStringLiteral("With --batch: write the account as JSON to this file when the batch ends."),
                      QStringLiteral("file")});
    parser.addOption({QStringLiteral("watch"),
                      QStringLiteral("With --batch and a folder: keep watching it, and send each new or replaced photo "
                                     "once it has stood still for 2 s.")});
    parser.addOption({QStringLiteral("json"),
                      QStringLiteral("With --batch: standard output carries JSON Lines instead of the log: one object per "
                                     "photo as it ends, then one for the account.")});
    parser.addOption({QStringLiteral("shard"),
                      QStringLiteral("With --batch and a folder: send only share K of N of its photos (K/N, by a hash of "
                                     "each file name), so that N machines share one folder, each photo sent once."),
                      QStringLiteral("K/N")});
    parser.addOption({QStringLiteral("size"),
                      QStringLiteral("The size asked of the service: auto (the default), full, or preview (an upload of at "
                                     "most 1 megapixel, a quarter of a credit; --edges refine suits it)."),
                      QStringLiteral("size")});
    parser.addOption({QStringLiteral("preset"),
                      QStringLiteral("Also make each result as a marketplace's rules for a main image ask (amazon, walmart, "
                                     "shopify, etsy, ebay, or one of presets.ini in the config folder), and check it "
                                     "once written; options after it change what it chose."),
                      QStringLiteral("name")});
    parser.addOption({QStringLiteral("background"),
                      QStringLiteral("Also make each result laid on a colour: white, black or #rrggbb."),
                      QStringLiteral("colour")});
    parser.addOption({QStringLiteral("format"),
                      QStringLiteral("Also make each result as png, jpg or webp; a jpg is laid on white unless "
                                     "--background says otherwise."),
                      QStringLiteral("format")});
    parser.addOption({QStringLiteral("quality"), QStringLiteral("JPEG and WebP quality, 1 to 100 (default 90)."),
                      QStringLiteral("n")});
    parser.addOption({QStringLiteral("crop"),
                      QStringLiteral("Also make each result cropped to the subject, with a margin of this many per cent "
                                     "of its longer side, given apart or after =: --crop 5 or --crop=5 (alone: 3)."),
                      QStringLiteral("margin")});
    parser.addOption({QStringLiteral("canvas"),
                      QStringLiteral("Also make each result centred on a square canvas, or on one of WIDTHxHEIGHT pixels."),
                      QStringLiteral("shape")});
    parser.addOption({QStringLiteral("mask"), QStringLiteral("Also write each result's alpha alone, as a greyscale PNG.")});
    parser.addOption({QStringLiteral("png"),
                      QStringLiteral("PNG compression: fast (the default) or small (slower, smaller files)."),
                      QStringLiteral("mode")});
    parser.addOption({QStringLiteral("edges"),
                      QStringLiteral("Edges: source (the photo's own colours, the default), clean (the old "
                                     "background's colour taken out of the subject's soft edges) or refine (the "
                                     "alpha of a small cut-out redrawn at full size from the photo, then cleaned)."),
                      QStringLiteral("mode")});
    parser.addOption({QStringLiteral("hidden"),
                      QStringLiteral("Fully transparent pixels: clear (one flat colour, the default) or keep (the "
                                     "photo's own, for re-editing the mask in another program)."),
                      QStringLiteral("mode")});
    parser.addOption({QStringLiteral("colour"),
                      QStringLiteral("The files made beside each result: keep the photo's colours and profile (the "
                                     "default), or convert them to srgb."),
                      QStringLiteral("mode")});
    parser.addPositionalArgument(QStringLiteral("INPUT"),
                                 QStringLiteral("The photo or folder to cut out: with --batch, what the batch sends; "
                                                "with --review, whose results are shown; without, the window's input path."),
                                 QStringLiteral("[INPUT]"));
}

QStringList withOptionalValues(const QStringList &arguments)
{
    QStringList normal;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments.at(i) != QLatin1String("--crop")) {
            normal << arguments.at(i);
            continue;
        }
        bool isNumber = false;
        arguments.value(i + 1).toDouble(&isNumber);
        normal << QStringLiteral("--crop=") + (isNumber ? arguments.at(++i) : QString());
    }
    return normal;
}

QStringList withoutQtOptions(const QStringList &arguments)
{
    // As QGuiApplication and QApplication read them, with one dash or two.
    static const QStringList withValue{"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                                       "geometry", "qwindowtitle", "title", "qwindowicon", "icon", "session", "display",
                                       "name", "style", "stylesheet"};
    static const QStringList alone{"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};
    QStringList left;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const QString name = argument.startsWith(QLatin1String("--")) ? argument.mid(2)
                             : argument.startsWith(QLatin1Char('-')) ? argument.mid(1)
                                                                     : QString();
        if (i > 0 && withValue.contains(name) && i + 1 < arguments.size())
            ++i;
        else if (i == 0 || !(alone.contains(name) || name.startsWith(QLatin1String("qmljsdebugger="))))
            left << argument;
    }
    return left;
}

Output chooseOutput(const QCommandLineParser &parser, const OutputChoices &base)
{
    Output output{base, {}};
    for (const QString &name : OutputChoices::optionNames()) {
        if (!parser.isSet(name))
            continue;
        const QString error = output.choices.set(name, name == QLatin1String("mask") ? QString() : parser.value(name));
        if (!error.isEmpty() && output.error.isEmpty())
            output.error = QStringLiteral("quorrin: ") + error;
    }
    return output;
}

QString batchOnlyOption(const QCommandLineParser &parser)
{
    const bool review = parser.isSet(QStringLiteral("review"));
    for (const char *name : {"output", "key-file", "report", "watch", "shard", "json"})
        if (parser.isSet(QLatin1String(name)) && !(review && qstrcmp(name, "output") == 0))
            return QStringLiteral("--") + QLatin1String(name);
    return {};
}

namespace {

// A setting's text and where it came from: the option beats the variable, and an empty
// variable counts as unset. No origin when neither gives it.
struct Given
{
    QString text;
    QString origin;
};
Given given(const QCommandLineParser &parser, const QString &option, const QProcessEnvironment &environment,
            const QString &variable)
{
    if (parser.isSet(option))
        return {parser.value(option), QStringLiteral("--") + option};
    if (!environment.value(variable).isEmpty())
        return {environment.value(variable), variable};
    return {};
}

} // namespace

Jobs chooseJobs(const QCommandLineParser &parser, const QProcessEnvironment &environment)
{
    const auto [text, origin] = given(parser, jobsOption, environment, jobsVariable);
    if (origin.isEmpty())
        return {defaultJobs, {}};
    bool isNumber = false;
    const int count = text.toInt(&isNumber);
    if (isNumber && count >= 1 && count <= mostJobs)
        return {count, {}};
    return {0, QStringLiteral("quorrin: %1 gives \"%2\" uploads at once; it must be a whole number from 1 to %3")
                   .arg(origin, text, QString::number(mostJobs))};
}

Size chooseSize(const QCommandLineParser &parser)
{
    if (!parser.isSet(QStringLiteral("size")))
        return {};
    const QString text = parser.value(QStringLiteral("size"));
    static const char *const names[] = {"auto", "preview", "full"};
    for (int i = 0; i < 3; ++i)
        if (text == QLatin1String(names[i]))
            return {UploadSize(i), {}};
    return {UploadSize::Auto, QStringLiteral("quorrin: --size takes auto, preview or full, not \"%1\"").arg(text)};
}

bool redoAll(const QCommandLineParser &parser)
{
    return parser.isSet(redoOption);
}

ServiceAddress chooseServiceAddress(const QCommandLineParser &parser, const QProcessEnvironment &environment)
{
    const auto [text, origin] = given(parser, urlOption, environment, urlVariable);
    if (origin.isEmpty())
        return {builtInServiceUrl(), {}};
    const QUrl url(text, QUrl::StrictMode);
    if (usable(url))
        return {url, {}};
    return {{},
            QStringLiteral("quorrin: %1 gives the service address \"%2\"; it must be an http or https URL "
                           "ending in /v1.0/removebg")
                .arg(origin, text)};
}

Early readEarly(int argc, char *argv[])
{
    Early early;
    early.onlyPrints = onlyPrints(argc, argv);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(withOptionalValues(withoutQtOptions(arguments))) && !early.onlyPrints) {
        early.refusal = QStringLiteral("quorrin: ") + parser.errorText();
        return early;
    }
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const ServiceAddress service = chooseServiceAddress(parser, environment);
    const Jobs jobs = chooseJobs(parser, environment);
    const Output output = chooseOutput(parser);
    const Size size = chooseSize(parser);
    early.size = size.size;
    early.serviceUrl = service.url;
    early.jobs = jobs.count;
    early.choices = output.choices;
    early.batch = parser.isSet(QStringLiteral("batch"));
    if (early.onlyPrints)
        return early;
    QString shardError;
    if (parser.isSet(QStringLiteral("shard")))
        early.shard = Shard::parse(parser.value(QStringLiteral("shard")), &shardError);
    for (const QString &error : {service.error, jobs.error, output.error, size.error, shardError}) {
        if (!error.isEmpty()) {
            early.refusal = error;
            return early;
        }
    }
    early.review = parser.isSet(QStringLiteral("review"));
    if (early.review && early.batch)
        early.refusal = QStringLiteral("quorrin: --review and --batch cannot go together");
    else if (early.review && parser.positionalArguments().isEmpty())
        early.refusal = QStringLiteral("quorrin: --review needs a photo or a folder");
    else if (!early.batch && !batchOnlyOption(parser).isEmpty())
        early.refusal = QStringLiteral("quorrin: %1 goes with --batch").arg(batchOnlyOption(parser));
    return early;
}

} // namespace commandline
