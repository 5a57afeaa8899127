#include "apikey.h"
#include "commandline.h"
#include "fakeservice.h"
#include "programrun.h"
#include "testimages.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <csignal>
#include <memory>

namespace {

const QString quorrinProgram = QStringLiteral(QUORRIN_PROGRAM);

// Answers the account question with a balance `first` - 1, one less at each question after.
std::function<void(const httplib::Request &, httplib::Response &)> balanceFallingFrom(int first, std::shared_ptr<std::atomic<int>> asked)
{
    return [first, asked](const httplib::Request &, httplib::Response &response) {
        response.set_content(QStringLiteral(R"({"data":{"attributes":{"credits":{"total":%1}}}})").arg(first - ++*asked).toStdString(),
                             "application/json");
    };
}

} // namespace

// The command line: its options and refusals in process, and the program with --batch as its
// own process, against a fake service.
class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startupSettings_data();
    void startupSettings();
    void refusalsNeedNoDisplay_data();
    void refusalsNeedNoDisplay();
    void keyOrder_data();
    void keyOrder();
    void headless_data();
    void headless();
    void headlessLogFollowsTheSystemLanguage_data();
    void headlessLogFollowsTheSystemLanguage();
    void headlessWatch_data();
    void headlessWatch();
    void shardsSendEachPhotoOnce();
    void jsonLinesAreAllThatIsPrinted();
    void presetsCheckEachResult_data();
    void presetsCheckEachResult();

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakeService> service;
    QString path(const QString &name) const { return dir->filePath(name); }
};

void TestCli::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    service = std::make_unique<FakeService>();
}

void TestCli::cleanup()
{
    service.reset();
    qunsetenv("QUORRIN_API_KEY");
    stopAfterAFailedRow();
}

void TestCli::startupSettings_data()
{
    QTest::addColumn<QString>("option");   // --service-url or --jobs
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("variable"); // null: unset
    QTest::addColumn<QString>("expected"); // what is chosen; null: refused

    const auto rowsOf = [](const QString &option) {
        return [option](const char *name, const QStringList &arguments, const QString &variable, const QString &expected) {
            QTest::newRow(name) << option << arguments << variable << expected;
        };
    };
    const auto url = rowsOf(QStringLiteral("--service-url")), jobs = rowsOf(QStringLiteral("--jobs"));
    const QString builtIn = commandline::builtInServiceUrl().toString();
    const QString real = QStringLiteral("https://service.example/v1.0/removebg");
    const QString local = QStringLiteral("http://127.0.0.1:9000/v1.0/removebg");
    const QString option = QStringLiteral("--service-url");
    url("neither: the build's address", {}, {}, builtIn);
    url("the variable beats the build", {}, real, real);
    url("the option beats the variable", {option, local}, real, local);
    url("the option in its = form", {option + "=" + local}, {}, local);
    url("an empty variable counts as unset", {}, "", builtIn);
    url("refused: not http", {option, "ftp://service.example/v1.0/removebg"}, {}, {});
    url("refused: no host", {option, "/v1.0/removebg"}, {}, {});
    url("refused: another path", {option, "https://service.example/removebg"}, {}, {});
    url("refused: a query", {option, real + "?size=full"}, {}, {});
    url("refused: an empty option", {option, ""}, real, {});
    url("refused: a bad variable, even beside no option", {}, "service.example", {});
    url("a good option hides a bad variable", {option, real}, "junk", real);
    jobs("jobs: neither: four", {}, {}, "4");
    jobs("jobs: the variable", {}, "2", "2");
    jobs("jobs: the option beats the variable", {"--jobs", "8"}, "2", "8");
    jobs("jobs: one", {"--jobs=1"}, {}, "1");
    jobs("jobs: an empty variable counts as unset", {}, "", "4");
    jobs("jobs refused: nine", {"--jobs", "9"}, {}, {});
    jobs("jobs refused: zero from the variable", {}, "0", {});
    jobs("jobs refused: not a number", {"--jobs", "four"}, "2", {});
}

void TestCli::startupSettings()
{
    QFETCH(QString, option);
    QFETCH(QStringList, arguments);
    QFETCH(QString, variable);
    QFETCH(QString, expected);

    QCommandLineParser parser;
    commandline::addOptions(parser);
    QVERIFY(parser.parse(QStringList{QStringLiteral("quorrin")} << arguments));
    const bool url = option == QLatin1String("--service-url");
    const QString name = url ? QStringLiteral("QUORRIN_SERVICE_URL") : QStringLiteral("QUORRIN_JOBS");
    QProcessEnvironment environment;
    if (!variable.isNull())
        environment.insert(name, variable);
    QString chosen, error;
    if (url) {
        const commandline::ServiceAddress address = commandline::chooseServiceAddress(parser, environment);
        chosen = address.url.toString();
        error = address.error;
    } else {
        const commandline::Jobs jobs = commandline::chooseJobs(parser, environment);
        chosen = jobs.count > 0 ? QString::number(jobs.count) : QString();
        error = jobs.error;
    }
    QCOMPARE(chosen, expected.isNull() ? QString() : expected);
    QCOMPARE(error.isEmpty(), !expected.isNull());
    if (expected.isNull())
        QVERIFY2(error.startsWith(QStringLiteral("quorrin: ") + (arguments.isEmpty() ? name : option)), qPrintable(error));
}

void TestCli::refusalsNeedNoDisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("variable"); // NAME=value, or empty
    QTest::addColumn<QString>("origin"); // of the refusal; or, for a program that only prints, what it prints

    QTest::newRow("--service-url") << QStringList{"--service-url", "nonsense"} << QString() << "--service-url";
    QTest::newRow("QUORRIN_SERVICE_URL") << QStringList() << "QUORRIN_SERVICE_URL=ftp://x/v1.0/removebg" << "QUORRIN_SERVICE_URL";
    QTest::newRow("--jobs") << QStringList{"--jobs", "0"} << QString() << "--jobs";
    QTest::newRow("QUORRIN_JOBS") << QStringList() << "QUORRIN_JOBS=12" << "QUORRIN_JOBS";
    QTest::newRow("--quality") << QStringList{"--quality", "0"} << QString() << "--quality gives \"0\"";
    QTest::newRow("--background, with --batch") << QStringList{"--batch", "--background=teal", "x"} << QString() << "--background";
    QTest::newRow("--crop's margin") << QStringList{"--crop=-2"} << QString() << "--crop";
    QTest::newRow("--canvas") << QStringList{"--canvas", "round"} << QString() << "--canvas";
    QTest::newRow("--shard past its count") << QStringList{"--batch", "--shard", "4/3", "x"} << QString() << "--shard gives \"4/3\"";
    QTest::newRow("--shard goes with --batch") << QStringList{"--shard", "1/2", "x"} << QString() << "--shard goes with --batch";
    QTest::newRow("a bare --crop takes no positional") << QStringList{"--crop", "--jobs", "0", "/x"} << QString() << "--jobs";
    QTest::newRow("an unknown option") << QStringList{"--bogus"} << QString() << "Unknown option 'bogus'.";
    QTest::newRow("an unknown option, with a display too") << QStringList{"--bogus", "/x"} << "QT_QPA_PLATFORM=offscreen"
                                                           << "Unknown option 'bogus'.";
    QTest::newRow("an option without its value") << QStringList{"--output"} << QString() << "Missing value after '--output'.";
    QTest::newRow("Qt's own options are left to Qt") << QStringList{"-style", "Fusion", "--jobs", "0"} << QString() << "--jobs";
    QTest::newRow("--help needs none either") << QStringList{"--help"} << QString() << QString("--jobs <n>");
    QTest::newRow("nor does --version") << QStringList{"--version"} << QString() << QString("quorrin 0.1.0");
}

void TestCli::refusalsNeedNoDisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, variable);
    QFETCH(QString, origin);

    QProcessEnvironment environment = environmentWithoutDisplay();
    if (!variable.isEmpty())
        environment.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
    const ProgramRun run = runProgram(quorrinProgram, arguments, environment, {}, {}, 10000);
    QVERIFY2(run.status != -1, "the program waited for a display");
    const QStringList errorLines = run.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("--version"))) {
        QCOMPARE(run.status, 0);
        QVERIFY(run.out.join(QLatin1Char('\n')).contains(origin));
        return;
    }
    QCOMPARE(run.status, 2);
    QCOMPARE(errorLines.size(), 1);
    QVERIFY2(errorLines.at(0).startsWith(QStringLiteral("quorrin: ") + origin), qPrintable(errorLines.at(0)));
}

void TestCli::keyOrder_data()
{
    QTest::addColumn<QString>("keyFile");  // @ is the temporary folder; empty: no --key-file
    QTest::addColumn<QString>("variable"); // QUORRIN_API_KEY; empty: unset
    QTest::addColumn<QString>("keyring");  // what the keyring holds
    QTest::addColumn<QString>("expected"); // the key; empty: refused
    QTest::addColumn<bool>("keyringAsked");
    QTest::addColumn<QString>("error");    // the refusal's start

    QTest::newRow("the file beats the variable and the keyring") << "@/key.txt" << "from the variable" << "kept" << "the key" << false << "";
    QTest::newRow("the variable beats the keyring") << "" << "from the variable" << "kept" << "from the variable" << false << "";
    QTest::newRow("the keyring when neither gives one") << "" << "" << "kept" << "kept" << true << "";
    QTest::newRow("none anywhere") << "" << "" << "" << "" << true << "quorrin: no API key: set QUORRIN_API_KEY";
    QTest::newRow("a file that cannot be read is not hidden by the variable") << "@/missing" << "from the variable" << "kept" << ""
                                                                              << false << "quorrin: cannot read the API key from ";
    QTest::newRow("an empty file") << "@/empty.txt" << "" << "kept" << "" << false << "quorrin: ";
}

// The order the key is looked for in, with the keyring as main.cpp hands it in.
void TestCli::keyOrder()
{
    QFETCH(QString, keyFile);
    QFETCH(QString, variable);
    QFETCH(QString, keyring);
    QFETCH(QString, expected);
    QFETCH(bool, keyringAsked);
    QFETCH(QString, error);

    QVERIFY(writeBytes(path(QStringLiteral("key.txt")), "the key\nnot this line\n"));
    QVERIFY(writeBytes(path(QStringLiteral("empty.txt")), "\n"));
    keyFile.replace(QLatin1Char('@'), dir->path());
    if (variable.isEmpty())
        qunsetenv("QUORRIN_API_KEY");
    else
        qputenv("QUORRIN_API_KEY", variable.toUtf8());
    bool asked = false;
    QString said;
    const QString key = readApiKey(keyFile, &said, [&] {
        asked = true;
        return keyring;
    });
    QCOMPARE(key, expected);
    QCOMPARE(asked, keyringAsked);
    QCOMPARE(said.isEmpty(), !expected.isEmpty());
    QVERIFY2(error.isEmpty() ? said.isEmpty() : said.startsWith(error), qPrintable(said));
    if (keyFile.endsWith(QLatin1String("empty.txt")))
        QCOMPARE(said, QStringLiteral("quorrin: %1 holds no API key").arg(keyFile));
}

void TestCli::headless_data()
{
    QTest::addColumn<QStringList>("arguments"); // after --batch; @ is the temporary folder
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("trouble"); // "refuse b", "refuse key", "hold" (then SIGTERM), or none
    QTest::addColumn<int>("status");

    const QStringList key{"QUORRIN_API_KEY=the key"};
    const auto row = [](const char *name, const QStringList &arguments, const QStringList &environment, int status,
                        const char *trouble = "", const QByteArray &input = {}) {
        QTest::newRow(name) << arguments << environment << input << QString::fromLatin1(trouble) << status;
    };
    row("every photo saved: 0", {"@/in"}, key, 0);
    row("a folder typed with a slash has its results beside it", {"@/in/"}, key, 0);
    row("a mask beside every master, listed in the report", {"@/in", "--mask"}, key, 0);
    row("the key from a file", {"@/in", "--key-file", "@/key.txt"}, {}, 0);
    row("the key from standard input", {"@/in", "--key-file", "-"}, {}, 0, "", "the key\n");
    row("the file beats the variable", {"@/in", "--key-file", "@/key.txt"}, {"QUORRIN_API_KEY=a bad key"}, 0);
    row("a key file that cannot be read is not hidden by the variable: 2", {"@/in", "--key-file", "@/missing"}, key, 2);
    row("--crop 5, the margin apart, as --crop=5", {"@/in", "--crop", "5"}, key, 0);
    row("a photo refused: 1", {"@/in"}, key, 1, "refuse b");
    row("no key: 2", {"@/in"}, {}, 2);
    row("an empty key file: 2", {"@/in", "--key-file", "@/empty.txt"}, {}, 2);
    row("no input: 2", {}, key, 2);
    row("a missing input: 2", {"@/nothing"}, key, 2);
    row("an unknown option: 2", {"@/in", "--colours=srgb"}, key, 2);
    row("watching a file: 2", {"@/in/a.jpg", "--watch"}, key, 2);
    row("a batch-only option without --batch is refused too", {}, key, 2);
    row("the key refused: 3", {"@/in"}, key, 3, "refuse key");
    row("the credit spent at the second photo, which is unsent: 3", {"@/in", "--jobs", "1"}, key, 3, "402 b");
    row("SIGTERM stops it, keeping what is in flight: 130", {"@/in", "--jobs", "1"}, key, 130, "hold");
    row("a report that cannot be written: 1", {"@/in", "--report", "@/gone/report.json"}, key, 1);
    row("a preview batch: small JPEGs, a quarter credit each", {"@/in", "--size", "preview"}, key, 0);
    row("a size of the service's that is not one: 2", {"@/in", "--size", "small"}, key, 2);
}

void TestCli::headless()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, input);
    QFETCH(QString, trouble);
    QFETCH(int, status);

    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("in")));
    for (int i = 0; i < 2; ++i)
        writeImage(path(QStringLiteral("in/%1.jpg").arg(QChar('a' + i))), photoLike(40, 30, 3, i));
    QVERIFY(writeBytes(path(QStringLiteral("key.txt")), "the key\nnot this line\n"));
    QVERIFY(writeBytes(path(QStringLiteral("empty.txt")), "\n"));
    const QByteArray refused = readBytes(path(QStringLiteral("in/b.jpg")));
    const std::string cutout = encode(cutoutLike(10, 8), ".png").toStdString();
    service->setResponder([=](int, const httplib::Request &request, httplib::Response &response) {
        ReceivedUpload upload;
        upload.body = request.body;
        if (trouble.endsWith(QLatin1String(" b")) && upload.imageBytes() == refused)
            response.status = trouble.startsWith(QLatin1String("402")) ? 402 : 400;
        else
            response.set_content(cutout, "image/png");
    });
    if (trouble == QLatin1String("refuse key"))
        service->setAccountResponder([](const httplib::Request &, httplib::Response &response) { response.status = 401; });
    // A balance that falls by one at each question: 99, then 98.
    auto asked = std::make_shared<std::atomic<int>>(0);
    if (trouble == QLatin1String("hold")) {
        service->holdRequest(0);
        service->setAccountResponder(balanceFallingFrom(100, asked));
    }
    for (QString &argument : arguments)
        argument.replace(QLatin1Char('@'), dir->path());
    arguments = QStringList{"--report", path(QStringLiteral("report.json"))} << arguments; // a row's own comes later, and wins
    if (QString::fromUtf8(QTest::currentDataTag()).contains(QLatin1String("without --batch")))
        arguments = QStringList{"!", "--report", path(QStringLiteral("report.json"))};

    const ProgramRun run = runBatch(quorrinProgram, service->endpoint(), arguments, environment, input, [&](QProcess &program) {
        if (trouble != QLatin1String("hold"))
            return;
        QTRY_COMPARE(service->uploadCount(), 1);
        ::kill(pid_t(program.processId()), SIGTERM);
        QTest::qWait(200);
        service->release();
    });
    QCOMPARE(run.status, status);
    if (status == 2) {
        QCOMPARE(service->uploadCount(), 0);
        QVERIFY2(run.err.startsWith(QStringLiteral("quorrin: ")) && run.err.count(QLatin1Char('\n')) == 1, qPrintable(run.err));
        if (environment.isEmpty() && input.isEmpty() && arguments.size() == 3)
            QVERIFY2(run.err.contains(QStringLiteral("QUORRIN_API_KEY")), qPrintable(run.err));
        QVERIFY(!QFile::exists(path(QStringLiteral("report.json"))));
        return;
    }
    const bool preview = arguments.contains(QStringLiteral("preview"));
    for (const ReceivedUpload &upload : service->uploads()) {
        QCOMPARE(upload.apiKey, std::string("the key"));
        QVERIFY(QByteArray::fromStdString(upload.body).startsWith(preview ? "size=preview&image_file_b64=_9j_" : "size=auto&image_file_b64=_9j_"));
    }
    if (arguments.contains(path(QStringLiteral("gone/report.json")))) {
        QVERIFY2(run.err.startsWith(QStringLiteral("quorrin: cannot write the report ")), qPrintable(run.err));
        QCOMPARE(service->uploadCount(), 2);
        return;
    }
    const QJsonObject report = QJsonDocument::fromJson(readBytes(path(QStringLiteral("report.json")))).object();
    QCOMPARE(report.value(QStringLiteral("exitStatus")).toInt(), status);
    QCOMPARE(report.value(QStringLiteral("stopped")).toBool(), status == 130);
    QCOMPARE(report.value(QStringLiteral("size")).toString(), QLatin1String(preview ? "preview" : "auto"));
    QCOMPARE(run.out.contains(QStringLiteral("按预览尺寸发送，每张计 0.25 点额度：本批共计 0.5 点")), preview);
    QStringList outcomes;
    for (const QJsonValue &photo : report.value(QStringLiteral("photos")).toArray()) {
        const QJsonObject entry = photo.toObject();
        outcomes << QFileInfo(entry.value(QStringLiteral("path")).toString()).fileName() + QLatin1Char(':')
                        + entry.value(QStringLiteral("outcome")).toString()
                        + QStringLiteral(":%1").arg(entry.value(QStringLiteral("files")).toArray().size());
    }
    const QMap<int, QStringList> expected{{0, {"a.jpg:saved:1", "b.jpg:saved:1"}},
                                          {1, {"a.jpg:saved:1", "b.jpg:failed:0"}},
                                          {3, {"a.jpg:unsent:0", "b.jpg:unsent:0"}},
                                          // The upload in flight is finished and saved; the other is never sent.
                                          {130, {"a.jpg:saved:1", "b.jpg:unsent:0"}}};
    QStringList wanted = trouble == QLatin1String("402 b") ? QStringList({"a.jpg:saved:1", "b.jpg:unsent:0"}) : expected.value(status);
    if (arguments.contains(QStringLiteral("--mask")) || arguments.contains(QStringLiteral("--crop")))
        wanted.replaceInStrings(QStringLiteral(":saved:1"), QStringLiteral(":saved:2"));
    QCOMPARE(outcomes, wanted);
    QCOMPARE(report.value(QStringLiteral("credits")).toDouble(), outcomes.filter(QStringLiteral(":saved:")).size() * (preview ? 0.25 : 1.0));
    QVERIFY(status != 0 || QFileInfo::exists(path(QStringLiteral("in-no-bg-small/a.jpg-no-bg.png"))));
    if (trouble == QLatin1String("402 b"))
        QVERIFY2(run.out.contains(QStringLiteral("账户额度已用完（HTTP 402），已停止发送，1 张未发送")), qPrintable(run.out.join('|')));
    // A stopped batch asks for the balance once more at its end, as a whole one does.
    if (trouble == QLatin1String("hold")) {
        QCOMPARE(asked->load(), 2);
        QCOMPARE(run.out.last(), QStringLiteral("账户余额还剩：98"));
        QCOMPARE(report.value(QStringLiteral("balanceLeft")).toDouble(), 98.0);
    }
    QCOMPARE(run.out.value(run.out.size() - (trouble == QLatin1String("hold") ? 2 : 1)),
             status == 1 ? QStringLiteral("失败：b.jpg：") + run.out.value(run.out.indexOf(path(QStringLiteral("in/b.jpg"))) + 3)
                         : QStringLiteral("没有失败的照片。"));
    if (arguments.contains(QStringLiteral("--crop")))
        QCOMPARE(run.out.value(0), QStringLiteral("输出选项：裁到主体（边距 5%）"));
    // Standard error is no terminal here: errors only, each once, with its photo.
    QCOMPARE(run.err.isEmpty(), status == 0 || status == 130);
    if (trouble == QLatin1String("refuse b"))
        QCOMPARE(run.err, QStringLiteral("quorrin: %1：%2\n").arg(path(QStringLiteral("in/b.jpg")), run.out.last().section(QStringLiteral("："), 2)));
}

void TestCli::headlessLogFollowsTheSystemLanguage_data()
{
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QString>("line"); // for a photo whose result would be a folder
    const QString english = QStringLiteral("Failed: a.jpg: Could not create the file: %1");
    const QString chinese = QStringLiteral("失败：a.jpg：创建文件失败：%1");
    QTest::newRow("en_US.UTF-8") << QStringList{"LANG=en_US.UTF-8", "LC_ALL=en_US.UTF-8"} << english;
    QTest::newRow("C.UTF-8") << QStringList{"LANG=C.UTF-8", "LC_ALL=C.UTF-8"} << chinese;
    QTest::newRow("zh_CN.UTF-8") << QStringList{"LANG=zh_CN.UTF-8", "LC_ALL="} << chinese;
    QTest::newRow("English first in LANGUAGE") << QStringList{"LANG=de_DE.UTF-8", "LC_ALL=", "LANGUAGE=en_GB:de"} << english;
    QTest::newRow("Chinese first in LANGUAGE") << QStringList{"LANG=en_US.UTF-8", "LC_ALL=", "LANGUAGE=zh_CN:en"} << chinese;
}

void TestCli::headlessLogFollowsTheSystemLanguage()
{
    QFETCH(QStringList, environment);
    QFETCH(QString, line);
    const QString photo = path(QStringLiteral("a.jpg"));
    writeImage(photo, photoLike(40, 30, 3, 0));
    QVERIFY(QDir(path(QStringLiteral("result.png"))).mkpath(QStringLiteral(".")));
    const QStringList arguments{photo, "--output", path(QStringLiteral("result.png")), "--report", path(QStringLiteral("report.json"))};
    const ProgramRun run = runBatch(quorrinProgram, service->endpoint(), arguments, QStringList{"QUORRIN_API_KEY=the key", "LANGUAGE="} + environment);
    QCOMPARE(run.status, 1);
    QVERIFY2(run.out.contains(line.arg(photo)), qPrintable(run.out.join(QLatin1Char('\n'))));
    // The report reads the same in every language.
    const QJsonObject report = QJsonDocument::fromJson(readBytes(path(QStringLiteral("report.json")))).object();
    QCOMPARE(report.value(QStringLiteral("photos")).toArray().at(0).toObject().value(QStringLiteral("reason")).toString(),
             QStringLiteral("创建文件失败：") + photo);
}

void TestCli::headlessWatch_data()
{
    QTest::addColumn<bool>("replaceRefused");
    QTest::newRow("a photo copied in slowly, and one of the program's own results") << false;
    QTest::newRow("a refused photo replaced and saved: counted once, and the last balance") << true;
}

void TestCli::headlessWatch()
{
    QFETCH(bool, replaceRefused);
    const QString folder = path(QStringLiteral("watched"));
    QVERIFY(QDir().mkpath(folder));
    writeImage(folder + QStringLiteral("/first.jpg"), photoLike(40, 30, 3, 1));
    writeImage(folder + QStringLiteral("/refused.jpg"), photoLike(40, 30, 3, 3));
    const QByteArray refused = readBytes(folder + QStringLiteral("/refused.jpg"));
    const std::string cutout = encode(cutoutLike(10, 8), ".png").toStdString();
    service->setResponder([=](int, const httplib::Request &request, httplib::Response &response) {
        ReceivedUpload upload;
        upload.body = request.body;
        if (upload.imageBytes() == refused)
            response.status = 400;
        else
            response.set_content(cutout, "image/png");
    });
    const QByteArray late = encode(photoLike(40, 30, 3, 2), ".jpg");
    auto asked = std::make_shared<std::atomic<int>>(0);
    if (replaceRefused)
        service->setAccountResponder(balanceFallingFrom(100, asked));
    const ProgramRun run = runBatch(quorrinProgram, service->endpoint(), {folder, "--watch", "--mask", "--report", path(QStringLiteral("r.json"))},
                             {"QUORRIN_API_KEY=k"}, {}, [&](QProcess &program) {
        QTRY_COMPARE(service->uploadCount(), 2);
        if (replaceRefused) {
            // Replaced as a copy would be, so that the folder's change notice tells at once.
            QVERIFY(QFile::remove(folder + QStringLiteral("/refused.jpg")) && writeBytes(folder + QStringLiteral("/refused.jpg"), late));
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder + QStringLiteral("-no-bg-small/refused.jpg-no-bg.mask.png")), 8000);
            ::kill(pid_t(program.processId()), SIGINT);
            return;
        }
        // A photo copied in slowly, and one of the program's own results.
        QFile growing(folder + QStringLiteral("/late.jpg"));
        QVERIFY(growing.open(QIODevice::WriteOnly));
        const int quarter = late.size() / 4;
        for (int part = 0; part < 3; ++part) {
            growing.write(late.mid(part * quarter, quarter));
            growing.flush();
            QTest::qWait(700);
        }
        growing.write(late.mid(3 * quarter));
        growing.close();
        writeBytes(folder + QStringLiteral("/other.jpg-no-bg.png"), encode(cutoutLike(10, 8), ".png"));
        QTRY_COMPARE_WITH_TIMEOUT(service->uploadCount(), 3, 8000);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder + QStringLiteral("-no-bg-small/late.jpg-no-bg.png")), 5000);
        // Long enough for a result to be taken for a photo, or the refused one to go again.
        QTest::qWait(2500);
        ::kill(pid_t(program.processId()), SIGINT);
    });
    QCOMPARE(run.status, 130);
    QCOMPARE(service->uploadCount(), 3);
    QCOMPARE(service->uploads().back().imageBytes(), late);
    const QJsonObject report = QJsonDocument::fromJson(readBytes(path(QStringLiteral("r.json")))).object();
    if (replaceRefused) {
        // Each photo once, with its last outcome; the balance the service gave last.
        QCOMPARE(run.out.mid(run.out.size() - 3), QStringList({"本批共 2 张：保存 2 张，跳过 0 张，失败 0 张", "没有失败的照片。",
                                                               QStringLiteral("账户余额还剩：%1").arg(100 - asked->load())}));
        QStringList listed;
        for (const QJsonValue &photo : report.value(QStringLiteral("photos")).toArray())
            listed << QFileInfo(photo.toObject().value(QStringLiteral("path")).toString()).fileName() + QLatin1Char(':')
                          + photo.toObject().value(QStringLiteral("outcome")).toString();
        QCOMPARE(listed, QStringList({"first.jpg:saved", "refused.jpg:saved"}));
        QCOMPARE(report.value(QStringLiteral("balanceLeft")).toInt(), 100 - asked->load());
        return;
    }
    QVERIFY(run.out.contains(QStringLiteral("保存：late.jpg")));
    // The choices are named once, and the late photo gets its mask too.
    QCOMPARE(run.out.count(QStringLiteral("输出选项：另存蒙版")), 1);
    QVERIFY(QFile::exists(folder + QStringLiteral("-no-bg-small/late.jpg-no-bg.mask.png")));
    QCOMPARE(run.out.mid(run.out.size() - 2, 1), QStringList({"本批共 3 张：保存 2 张，跳过 0 张，失败 1 张"}));
    QCOMPARE(report.value(QStringLiteral("photos")).toArray().size(), 3);
}

// Three processes on one folder, as three machines would run: each photo sent by one of them,
// whatever their order; the same share again sends nothing.
void TestCli::shardsSendEachPhotoOnce()
{
    const QString folder = path(QStringLiteral("shared"));
    QVERIFY(QDir().mkpath(folder));
    QSet<QByteArray> photos;
    for (int i = 0; i < 12; ++i) {
        writeImage(folder + QStringLiteral("/p%1.jpg").arg(i), photoLike(24, 16, 3, i));
        photos << readBytes(folder + QStringLiteral("/p%1.jpg").arg(i));
    }
    const std::string cutout = encode(cutoutLike(12, 8), ".png").toStdString();
    service->setResponder([=](int, const httplib::Request &, httplib::Response &response) { response.set_content(cutout, "image/png"); });
    int sent = 0, shares = 0, sharesTotal = 0;
    for (const char *share : {"2/3", "3/3", "1/3", "1/3"}) {
        const ProgramRun run = runBatch(quorrinProgram, service->endpoint(), {folder, "--shard", share}, {"QUORRIN_API_KEY=k"});
        QCOMPARE(run.status, 0);
        const QString first = run.out.value(0), head = QStringLiteral("分片 %1：文件夹里 12 张照片中的 ").arg(QLatin1String(share));
        QVERIFY2(first.startsWith(head), qPrintable(run.out.join(QLatin1Char('\n'))));
        // Its own share, every photo of it sent the first time, none the second.
        const int own = first.mid(head.size()).section(QLatin1Char(' '), 0, 0).toInt();
        QCOMPARE(service->uploadCount() - sent, ++shares <= 3 ? own : 0);
        sent = service->uploadCount();
        if (shares <= 3)
            sharesTotal += own;
    }
    QCOMPARE(sharesTotal, 12);
    QSet<QByteArray> uploaded;
    for (const ReceivedUpload &upload : service->uploads())
        uploaded << upload.imageBytes();
    QCOMPARE(service->uploadCount(), 12);
    QCOMPARE(uploaded, photos);
}

// Standard output is JSON Lines alone, each photo's the report's object for it, then the
// account; the same in any language; errors stay on standard error.
void TestCli::jsonLinesAreAllThatIsPrinted()
{
    const QString folder = path(QStringLiteral("lines"));
    QVERIFY(QDir().mkpath(folder));
    for (const char *name : {"a.jpg", "b.jpg", "c.jpg"})
        writeImage(folder + QLatin1Char('/') + QLatin1String(name), photoLike(24, 16, 3, name[0]));
    QVERIFY(writeBytes(folder + QStringLiteral("/b.jpg"), readBytes(folder + QStringLiteral("/b.jpg")).left(200)));
    const std::string cutout = encode(cutoutLike(12, 8), ".png").toStdString();
    service->setResponder([=](int, const httplib::Request &, httplib::Response &response) { response.set_content(cutout, "image/png"); });
    runBatch(quorrinProgram, service->endpoint(), {folder + QStringLiteral("/a.jpg"), "--output", folder + QStringLiteral("-no-bg-small/a.jpg-no-bg.png")},
             {"QUORRIN_API_KEY=k"});
    const ProgramRun run = runBatch(quorrinProgram, service->endpoint(), {folder, "--json"}, {"QUORRIN_API_KEY=k", "LANG=en_US.UTF-8"});
    QCOMPARE(run.status, 1);
    QStringList outcomes;
    QJsonObject account;
    for (const QString &line : run.out) {
        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(line.toUtf8(), &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError && !object.isEmpty(), qPrintable(line));
        if (object.contains(QStringLiteral("path")))
            outcomes << QFileInfo(object.value(QStringLiteral("path")).toString()).fileName() + QLatin1Char(' ')
                            + object.value(QStringLiteral("outcome")).toString() + QLatin1Char(' ')
                            + object.value(QStringLiteral("failure")).toString();
        else
            account = object;
    }
    outcomes.sort();
    QCOMPARE(outcomes, QStringList({"a.jpg skipped ", "b.jpg failed damaged", "c.jpg saved "}));
    QCOMPARE(run.out.last(), QString::fromUtf8(QJsonDocument(account).toJson(QJsonDocument::Compact)));
    QCOMPARE(account.value(QStringLiteral("exitStatus")).toInt(), 1);
    QCOMPARE(account.value(QStringLiteral("counts")).toObject().value(QStringLiteral("saved")).toInt(), 1);
    QVERIFY2(run.err.contains(QStringLiteral("b.jpg")), qPrintable(run.err));
}

void TestCli::presetsCheckEachResult_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("userPresets"); // the user's presets.ini; empty: none
    QTest::addColumn<int>("status");

    const QByteArray ownAmazon("[amazon]\nbackground = white\nformat = jpg\ncolour = srgb\nfill = 85\nsize = 2000\nminimum = 300\n");
    QTest::newRow("a photo too small for amazon: 4") << QStringList{"--preset", "amazon"} << QByteArray() << 4;
    QTest::newRow("the user's amazon, asking for less: 0") << QStringList{"--preset", "amazon"} << ownAmazon << 0;
    QTest::newRow("a fill over 100 in the user's file: 2") << QStringList{"--preset", "ebay"}
                                                           << QByteArray("[mine]\nsize = 900\nfill = 101\n") << 2;
    QTest::newRow("an unknown preset: 2") << QStringList{"--preset=nosuch"} << QByteArray() << 2;
}

void TestCli::presetsCheckEachResult()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, userPresets);
    QFETCH(int, status);

    const QString folder = path(QStringLiteral("shop"));
    QVERIFY(QDir().mkpath(folder) && QDir().mkpath(path(QStringLiteral("config/quorrin"))));
    writeImage(folder + QStringLiteral("/a.jpg"), photoLike(600, 450));
    const QString userFile = path(QStringLiteral("config/quorrin/presets.ini"));
    QVERIFY(userPresets.isEmpty() || writeBytes(userFile, userPresets));
    const std::string cutout = encode(cutoutLike(60, 45), ".png").toStdString();
    service->setResponder([=](int, const httplib::Request &, httplib::Response &response) { response.set_content(cutout, "image/png"); });
    // The shipped presets compiled in, and the user's from the test's own folder.
    const ProgramRun run = runBatch(quorrinProgram, service->endpoint(),
                                    QStringList{folder, "--report", path(QStringLiteral("report.json"))} + arguments,
                                    {"QUORRIN_API_KEY=k", "XDG_CONFIG_HOME=" + path(QStringLiteral("config")),
                                     "XDG_DATA_HOME=" + dir->path(), "XDG_DATA_DIRS=" + dir->path()});
    QCOMPARE(run.status, status);
    if (status == 2) {
        QCOMPARE(service->uploadCount(), 0);
        const QString refusal = userPresets.isEmpty() ? QStringLiteral("quorrin: --preset gives \"nosuch\"; it must be one of amazon, walmart, shopify, etsy, ebay (from ")
                                                      : QStringLiteral("quorrin: %1, line 3: fill gives \"101\"; ").arg(userFile);
        QVERIFY2(run.err.startsWith(refusal) && run.err.count(QLatin1Char('\n')) == 1, qPrintable(run.err));
        return;
    }
    const QString made = path(QStringLiteral("shop-no-bg-small/a.jpg-no-bg.for-amazon.jpg"));
    const int side = readImage(made, cv::IMREAD_COLOR).cols;
    QVERIFY(side > 300 && side < 1000);
    const QString shortfall = QStringLiteral("只有 %1 像素，amazon 要求至少 1000").arg(side);
    const QJsonObject report = QJsonDocument::fromJson(readBytes(path(QStringLiteral("report.json")))).object();
    const QJsonObject photo = report.value(QStringLiteral("photos")).toArray().at(0).toObject();
    QStringList checks;
    for (const QJsonValue &check : photo.value(QStringLiteral("checks")).toArray())
        checks << check.toObject().value(QStringLiteral("rule")).toString() + QLatin1Char('=')
                      + (check.toObject().value(QStringLiteral("ok")).toBool() ? QStringLiteral("ok") : check.toObject().value(QStringLiteral("detail")).toString());
    // The user's amazon sets no file size.
    QStringList wanted{"format=ok", status == 4 ? "size=" + shortfall : "size=ok", "background=ok", "fill=ok", "colour=ok"};
    if (userPresets.isEmpty())
        wanted << "file-size=ok";
    QCOMPARE(checks, wanted);
    QCOMPARE(report.value(QStringLiteral("exitStatus")).toInt(), status);
    const QStringList shortLines = run.out.filter(QStringLiteral("不合预设要求"));
    if (status == 0) {
        QCOMPARE(shortLines, QStringList());
        return;
    }
    QCOMPARE(shortLines, (QStringList{"a.jpg：不合预设要求：" + shortfall,
                                      "本批共 1 张：保存 1 张，跳过 0 张，失败 0 张，不合预设要求 1 张",
                                      "不合预设要求：a.jpg：" + shortfall}));
    QCOMPARE(report.value(QStringLiteral("fellShort")).toInt(), 1);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
