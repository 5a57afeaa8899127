#include "eventlog.h"
#include "removal.h"
#include "removebgconn.h"
#include "testimages.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <httplib.h>

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <thread>

using namespace localservice;

namespace {

const QString samples = QStringLiteral(QUORRIN_SAMPLES_DIR);

std::string uploadBody(const QByteArray &image, QByteArray::Base64Options options, const char *size = "auto")
{
    return "size=" + std::string(size) + "&image_file_b64=" + image.toBase64(options).toStdString();
}

cv::Mat decoded(const std::string &png)
{
    return cv::imdecode(cv::Mat(1, int(png.size()), CV_8U, const_cast<char *>(png.data())), cv::IMREAD_UNCHANGED);
}

// The local service as its own process, on a free port.
struct RunningService
{
    explicit RunningService(const QStringList &arguments)
    {
        process.start(QStringLiteral(QUORRIN_LOCALSERVICE), QStringList{"--port", "0"} << arguments);
        process.waitForReadyRead(10000);
        const QString banner = QString::fromUtf8(process.readLine());
        const QRegularExpressionMatch match = QRegularExpression(QStringLiteral(":(\\d+)/v1.0/removebg")).match(banner);
        if (match.hasMatch())
            endpoint = QUrl(QStringLiteral("http://127.0.0.1:%1/v1.0/removebg").arg(match.captured(1)));
    }
    ~RunningService()
    {
        process.kill();
        process.waitForFinished();
    }
    QProcess process;
    QUrl endpoint;
};

} // namespace

class TestLocalService : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { stopAfterAFailedRow(); }
    void base64_data();
    void base64();
    void formFields_data();
    void formFields();
    void errorAnswers_data();
    void errorAnswers();
    void cutoutSizes_data();
    void cutoutSizes();
    void isAFaithfulPeerOfTheClient();
    void optionsReachTheClient_data();
    void optionsReachTheClient();
    void allowance_data();
    void allowance();
    void rateLimitAnswersWithRetryAfter();
    void badOptionsAreRefused_data();
    void badOptionsAreRefused();
    void hostileRequestsStaySmall();
};

void TestLocalService::base64_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("URL-safe with padding") << QByteArray("-_8=") << true << QByteArray("\xfb\xff", 2);
    QTest::newRow("standard with padding") << QByteArray("+/8=") << true << QByteArray("\xfb\xff", 2);
    QTest::newRow("without padding") << QByteArray("-_8") << true << QByteArray("\xfb\xff", 2);
    QTest::newRow("one byte, two equals signs") << QByteArray("QQ==") << true << QByteArray("A");
    QTest::newRow("empty") << QByteArray("") << true << QByteArray();
    QTest::newRow("foreign character") << QByteArray("QU!D") << false << QByteArray();
    QTest::newRow("data after padding") << QByteArray("QQ==QQ==") << false << QByteArray();
    QTest::newRow("a lone trailing symbol") << QByteArray("QUJDR") << false << QByteArray();
    QTest::newRow("three equals signs") << QByteArray("Q===") << false << QByteArray();
    QTest::newRow("six equals signs, a whole number of quanta") << QByteArray("QQ======") << false << QByteArray();
}

void TestLocalService::base64()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(QByteArray, bytes);
    const auto result = decodeBase64(text.toStdString());
    QCOMPARE(result.has_value(), valid);
    if (valid)
        QCOMPARE(QByteArray::fromStdString(*result), bytes);
}

void TestLocalService::formFields_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("first of two") << QByteArray("size=auto&image_file_b64=QQ==") << QByteArray("size") << true << QByteArray("auto");
    QTest::newRow("last, with equals signs") << QByteArray("size=auto&image_file_b64=QQ==") << QByteArray("image_file_b64") << true << QByteArray("QQ==");
    QTest::newRow("percent-encoded") << QByteArray("image_file_b64=%2B%2F8%3D") << QByteArray("image_file_b64") << true << QByteArray("+/8=");
    QTest::newRow("every hex digit at its edges, either case")
        << QByteArray("v=%09%90%af%Fa%AF%fA%10") << QByteArray("v") << true << QByteArray("\x09\x90\xaf\xfa\xaf\xfa\x10");
    QTest::newRow("not a hex digit") << QByteArray("v=%g0") << QByteArray("v") << false << QByteArray();
    QTest::newRow("cut short") << QByteArray("v=%4") << QByteArray("v") << false << QByteArray();
    QTest::newRow("plus stays a plus") << QByteArray("image_file_b64=+/8=") << QByteArray("image_file_b64") << true << QByteArray("+/8=");
    QTest::newRow("a longer name is another field") << QByteArray("sizes=full") << QByteArray("size") << false << QByteArray();
    QTest::newRow("missing") << QByteArray("size=auto") << QByteArray("image_file_b64") << false << QByteArray();
    QTest::newRow("empty value") << QByteArray("image_file_b64=&size=full") << QByteArray("image_file_b64") << true << QByteArray();
}

void TestLocalService::formFields()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, name);
    QFETCH(bool, found);
    QFETCH(QByteArray, value);
    const auto result = formField(body.toStdString(), name.toStdString());
    QCOMPARE(result.has_value(), found);
    if (found)
        QCOMPARE(QByteArray::fromStdString(*result), value);
}

void TestLocalService::errorAnswers_data()
{
    QTest::addColumn<QString>("requiredKey");
    QTest::addColumn<int>("failEvery");
    QTest::addColumn<long>("index");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("cause"); // how the title begins; empty: any

    const QByteArray jpeg = encode(photoLike(64, 48), ".jpg");
    const QByteArray good = QByteArray::fromStdString(uploadBody(jpeg, QByteArray::Base64UrlEncoding));
    const auto upload = [](const QByteArray &image) {
        return QByteArray::fromStdString(uploadBody(image, QByteArray::Base64UrlEncoding));
    };
    // The first request, with key "k", to a service that needs no key and injects no failure.
    const auto refused = [](const char *name, const QByteArray &body, int status, const char *cause = "") {
        QTest::newRow(name) << QString() << 0 << 1L << QByteArray("k") << body << status << QString::fromUtf8(cause);
    };
    QTest::newRow("no key") << QString() << 0 << 1L << QByteArray() << good << 403 << "Missing API key";
    QTest::newRow("wrong key when one is required") << "secret" << 0 << 1L << QByteArray("guess") << good << 403
                                                    << "Invalid API key";
    refused("no image field", "size=auto", 400, "No image given");
    refused("empty image field", "size=auto&image_file_b64=", 400, "No image given");
    refused("bad Base64", "image_file_b64=QU!D", 400, "Invalid Base64");
    refused("not an image", "image_file_b64=aGVsbG8=", 400, "Unknown image format");
    refused("unknown size", "size=huge&image_file_b64=QQ==", 400, "Unsupported size");
    refused("body over 50 MB", QByteArray(int(maxBodyBytes) + 1, 'A'), 413);
    refused("aborts the DICOM reader", upload(dicomLike()), 400);
    refused("GIF", upload("GIF89a\x01\x00\x01\x00\x00\x00\x00;"), 400);
    refused("header claims 32768 x 32768", upload(pngClaiming(32768, 32768)), 400);
    refused("truncated JPEG claims 62976 x 5000", upload(truncatedJpegClaiming(62976, 5000)), 400);
    refused("header with no pixels", upload(pngClaiming(640, 480)), 400);
    QTest::newRow("third request with --fail-every 3") << QString() << 3 << 3L << QByteArray("k") << good << 503 << QString();
    QTest::newRow("the right key") << "secret" << 3 << 2L << QByteArray("secret") << good << 200 << QString();
}

void TestLocalService::errorAnswers()
{
    QFETCH(QString, requiredKey);
    QFETCH(int, failEvery);
    QFETCH(long, index);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, cause);

    const Settings settings{requiredKey.toStdString(), failEvery, 503};
    const Answer answer = answerUpload(settings, index, key.toStdString(), body.toStdString());
    QCOMPARE(answer.status, status);
    if (status == 200) {
        QCOMPARE(answer.contentType, std::string("image/png"));
        return;
    }
    QCOMPARE(answer.contentType, std::string("application/json"));
    const QString json = QString::fromStdString(answer.body);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\{\"errors\":\\[\\{\"title\":\"[^\"]{8,}\"\\}\\]\\}$")).match(json).hasMatch(),
             qPrintable(json));
    QVERIFY2(json.startsWith(QStringLiteral("{\"errors\":[{\"title\":\"") + cause), qPrintable(json));
}

void TestLocalService::cutoutSizes_data()
{
    QTest::addColumn<QSize>("photo");
    QTest::addColumn<QByteArray>("size");
    QTest::addColumn<bool>("standardAlphabet");
    QTest::addColumn<QSize>("expected");

    QTest::newRow("auto scales 1000x750 to a quarter megapixel") << QSize(1000, 750) << QByteArray("auto") << false << QSize(577, 433);
    QTest::newRow("preview, standard Base64") << QSize(1000, 750) << QByteArray("preview") << true << QSize(577, 433);
    QTest::newRow("full keeps the size") << QSize(1000, 750) << QByteArray("full") << false << QSize(1000, 750);
    QTest::newRow("small photos are not enlarged") << QSize(320, 200) << QByteArray("auto") << false << QSize(320, 200);
    QTest::newRow("a 4 x 4 picture, too small to learn colours from") << QSize(4, 4) << QByteArray("auto") << false << QSize(4, 4);
    QTest::newRow("a single pixel") << QSize(1, 1) << QByteArray("full") << false << QSize(1, 1);
    QTest::newRow("one flat colour") << QSize(0, 0) << QByteArray("auto") << false << QSize(64, 48);
}

void TestLocalService::cutoutSizes()
{
    QFETCH(QSize, photo);
    QFETCH(QByteArray, size);
    QFETCH(bool, standardAlphabet);
    QFETCH(QSize, expected);

    // An empty size stands for a flat grey picture of the expected size.
    const QByteArray jpeg = photo.isEmpty()
        ? encode(cv::Mat(expected.height(), expected.width(), CV_8UC3, cv::Scalar(128, 128, 128)), ".png")
        : encode(photoLike(photo.width(), photo.height()), ".png");
    const auto options = standardAlphabet ? QByteArray::Base64Encoding : QByteArray::Base64UrlEncoding;
    const Answer answer = answerUpload({}, 1, "k", uploadBody(jpeg, options, size.constData()));
    QCOMPARE(answer.status, 200);
    const cv::Mat cutout = decoded(answer.body);
    QCOMPARE(cutout.type(), CV_8UC4);
    QCOMPARE(QSize(cutout.cols, cutout.rows), expected);
}

void TestLocalService::isAFaithfulPeerOfTheClient()
{
    RunningService service({"--key", "demo"});
    QVERIFY2(service.endpoint.isValid() && !service.endpoint.isEmpty(), "the service printed its port");
    RemoveBGConn client(service.endpoint);
    EventLog log(&client);
    const QString photo = samples + QStringLiteral("/mug.jpg");
    client.postData(photo, QStringLiteral("demo"), true);
    QTRY_COMPARE_WITH_TIMEOUT(log.count(allDone), 1, 15000);
    QCOMPARE(log.events, QStringList() << succeededLines(photo, log.bodies.value(0).size()) << allDone);

    const cv::Mat cutout = decoded(log.bodies.at(0).toStdString());
    QCOMPARE(cutout.type(), CV_8UC4);
    const cv::Mat source = readImage(photo, cv::IMREAD_COLOR);
    QVERIFY(qAbs(double(cutout.cols) / cutout.rows - double(source.cols) / source.rows) < 0.01);
    QVERIFY(cutout.cols * cutout.rows <= 250000);
    const auto alphaAt = [&](int x, int y) { return int(cutout.at<cv::Vec4b>(y, x)[3]); };
    QCOMPARE(alphaAt(cutout.cols * 5 / 12, cutout.rows / 2), 255);
    for (const auto &corner : {cv::Point(0, 0), cv::Point(cutout.cols - 1, 0), cv::Point(0, cutout.rows - 1),
                               cv::Point(cutout.cols - 1, cutout.rows - 1)})
        QCOMPARE(alphaAt(corner.x, corner.y), 0);

    service.process.waitForReadyRead(5000);
    const QString logLine = QString::fromUtf8(service.process.readLine());
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d 200 in=\\d+ out=\\d+ \\d+ms\\n$")).match(logLine).hasMatch(),
             qPrintable(logLine));
    QVERIFY(!logLine.contains(QStringLiteral("demo")));
}

void TestLocalService::optionsReachTheClient_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected"); // the client's events, bodies by path only

    const QString ball = samples + QStringLiteral("/ball.jpg");
    const QString vase = samples + QStringLiteral("/vase.jpg");
    const auto ok = [](const QString &path) { return QStringList(succeededLines(path, 0).mid(0, 5)) << "data:" + path; };
    QTest::newRow("a 503 is tried again after its Retry-After") << QStringList{"--fail-every", "2", "--fail-status", "503"}
        << (ok(ball) << sentLines(vase) << retriedLines(QStringLiteral("服务出错（HTTP 503），1 秒后重试"))
                     << "info:接收完成！" << "data:" + vase << allDone);
    QTest::newRow("no balance kept: no balance line") << QStringList() << (ok(ball) << ok(vase) << allDone);
    QTest::newRow("one credit: the second photo is refused and the batch stops")
        << QStringList{"--credits", "1"} << (QStringList{"info:账户余额：1"} << ok(ball) << failedLines(vase) << "error");
    QTest::newRow("no credit: nothing is sent") << QStringList{"--credits", "0"} << QStringList{"error"};
}

void TestLocalService::optionsReachTheClient()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);

    RunningService service(arguments);
    RemoveBGConn client(service.endpoint, quickSettings());
    EventLog log(&client);
    postBatch(client, {samples + QStringLiteral("/ball.jpg"), samples + QStringLiteral("/vase.jpg")}, QStringLiteral("any"));
    QTRY_COMPARE_WITH_TIMEOUT(log.ends, 1, 15000);
    QCOMPARE(log.events.replaceInStrings(QRegularExpression(QStringLiteral("^(data:.*):\\d+$")), QStringLiteral("\\1")), expected);
    for (const QString &error : log.errors)
        QVERIFY2(error.contains(QStringLiteral("Insufficient credits")), qPrintable(error));
}

void TestLocalService::allowance_data()
{
    QTest::addColumn<int>("credits");
    QTest::addColumn<int>("perMinute");
    QTest::addColumn<QList<int>>("secondsAndGiveBacks"); // when each take() comes; -1 gives the last one back
    QTest::addColumn<QList<int>>("statuses");             // 0 for a take that is allowed
    QTest::addColumn<int>("retryAfter");                  // of the last refusal
    QTest::addColumn<int>("accountStatus");               // at the end

    QTest::newRow("two a minute") << -1 << 2 << QList<int>{0, 10, 20, 61, 71} << QList<int>{0, 0, 429, 0, 0} << 40 << 404;
    QTest::newRow("a place is free again a minute to the second later")
        << -1 << 2 << QList<int>{0, 10, 60} << QList<int>{0, 0, 0} << 0 << 404;
    QTest::newRow("a refused upload is not counted") << -1 << 1 << QList<int>{0, -1, 1} << QList<int>{0, 0} << 0 << 404;
    QTest::newRow("credits run out") << 2 << 0 << QList<int>{0, 1, 2} << QList<int>{0, 0, 402} << 0 << 402;
    QTest::newRow("a refusal costs nothing") << 1 << 0 << QList<int>{0, -1, 5} << QList<int>{0, 0} << 0 << 402;
    QTest::newRow("balance left") << 3 << 0 << QList<int>{0} << QList<int>{0} << 0 << 200;
}

void TestLocalService::allowance()
{
    QFETCH(int, credits);
    QFETCH(int, perMinute);
    QFETCH(QList<int>, secondsAndGiveBacks);
    QFETCH(QList<int>, statuses);
    QFETCH(int, retryAfter);
    QFETCH(int, accountStatus);

    Allowance allowance(credits, perMinute);
    const Allowance::Clock::time_point start{};
    QList<int> seen;
    int lastRetryAfter = 0;
    for (int second : secondsAndGiveBacks) {
        if (second < 0) {
            allowance.giveBack();
            continue;
        }
        const std::optional<Answer> refusal = allowance.take(start + std::chrono::seconds(second));
        seen << (refusal ? refusal->status : 0);
        if (refusal && refusal->status == 429)
            lastRetryAfter = refusal->retryAfterSeconds;
    }
    QCOMPARE(seen, statuses);
    QCOMPARE(lastRetryAfter, retryAfter);
    const Answer account = allowance.account(Settings{}, "key");
    QCOMPARE(account.status, accountStatus);
    if (accountStatus == 200)
        QCOMPARE(account.body, std::string(R"({"data":{"attributes":{"credits":{"total":2}}}})"));
    QCOMPARE(allowance.account(Settings{}, "").status, accountStatus == 404 ? 404 : 403);
}

void TestLocalService::rateLimitAnswersWithRetryAfter()
{
    RunningService service({"--rate-limit", "1"});
    httplib::Client http("127.0.0.1", service.endpoint.port());
    const httplib::Headers key{{"X-Api-Key", "k"}};
    const std::string body = uploadBody(readBytes(samples + QStringLiteral("/ball.jpg")), QByteArray::Base64UrlEncoding);
    QElapsedTimer clock;
    clock.start();
    const auto first = http.Post("/v1.0/removebg", key, body, "application/x-www-form-urlencoded");
    const auto second = http.Post("/v1.0/removebg", key, body, "application/x-www-form-urlencoded");
    // The minute runs from the first upload: a slow cut-out (a busy machine, a sanitizer)
    // shortens the wait by the time it took.
    const int took = int(clock.elapsed() / 1000);
    QVERIFY(first && second);
    QCOMPARE(first->status, 200);
    QCOMPARE(second->status, 429);
    const int wait = std::stoi(second->get_header_value("Retry-After"));
    QVERIFY2(wait >= 59 - took && wait <= 60, qPrintable(QStringLiteral("%1 after %2 s").arg(wait).arg(took)));
}

void TestLocalService::badOptionsAreRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("a status beyond 599") << QStringList{"--fail-status", "600"};
    QTest::newRow("a status below 100") << QStringList{"--fail-status", "99"};
    QTest::newRow("a port beyond 65535") << QStringList{"--port", "65536"};
    QTest::newRow("not a number") << QStringList{"--rate-limit", "ten"};
    QTest::newRow("a negative balance") << QStringList{"--credits", "-1"};
    QTest::newRow("an option with no value") << QStringList{"--delay-ms"};
    QTest::newRow("an unknown option") << QStringList{"--fast", "1"};
}

void TestLocalService::badOptionsAreRefused()
{
    QFETCH(QStringList, arguments);
    QProcess service;
    service.start(QStringLiteral(QUORRIN_LOCALSERVICE), arguments);
    QVERIFY(service.waitForFinished(10000));
    QCOMPARE(service.exitCode(), 2);
    QVERIFY(service.readAllStandardError().startsWith("quorrin-localservice: "));
}

void TestLocalService::hostileRequestsStaySmall()
{
    RunningService service({});
    httplib::Client http("127.0.0.1", service.endpoint.port());

    const httplib::MultipartFormDataItems items{{"image_file", "abc", "photo.jpg", "image/jpeg"}};
    const auto multipart = http.Post("/v1.0/removebg", items);
    QVERIFY(multipart);
    QCOMPARE(multipart->status, 400);
    QCOMPARE(multipart->get_header_value("Content-Type"), std::string("application/json"));
    QVERIFY(!multipart->has_header("EXCEPTION_WHAT"));
    const auto elsewhere = http.Get("/v1.0/elsewhere");
    QVERIFY(elsewhere);
    QCOMPARE(elsewhere->status, 404);
    QCOMPARE(elsewhere->body, std::string(R"({"errors":[{"title":"Not found: use POST /v1.0/removebg"}]})"));

    // Eight bombs at once: each is refused from its header, none is decoded.
    const std::string bomb = uploadBody(pngClaiming(32768, 32768), QByteArray::Base64UrlEncoding);
    std::vector<std::thread> senders;
    std::atomic<int> refused{0};
    for (int i = 0; i < 8; ++i)
        senders.emplace_back([&] {
            httplib::Client client("127.0.0.1", service.endpoint.port());
            client.set_read_timeout(60);
            const httplib::Headers key{{"X-Api-Key", "k"}};
            const auto answer = client.Post("/v1.0/removebg", key, bomb, "application/x-www-form-urlencoded");
            refused += answer && answer->status == 400;
        });
    for (std::thread &sender : senders)
        sender.join();
    QCOMPARE(refused.load(), 8);

    const long peakKb = peakResidentKilobytes(QString::number(service.process.processId()));
    QVERIFY2(peakKb > 0 && peakKb < 1024 * 1024, qPrintable(QString::number(peakKb)));
}

QTEST_GUILESS_MAIN(TestLocalService)
#include "tst_localservice.moc"
