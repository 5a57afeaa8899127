#include "eventlog.h"
#include "fakeservice.h"
#include "removebgconn.h"
#include "retrypolicy.h"
#include "serviceendpoint.h"
#include "testimages.h"

#include <QHostAddress>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>

#include <opencv2/imgcodecs.hpp>

#include <zlib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace {

// How the fake service answers one upload in a data row; neither failure is tried again.
enum class Answer { Ok, NotFound, BadRequest };

const std::string pngSignature("\x89PNG\r\n\x1a\n", 8);

// Answers request i with answers[i]; a 200 body is a PNG signature and "cut-out <i>".
FakeService::Responder scripted(const QVector<Answer> &answers)
{
    return [answers](int index, const httplib::Request &, httplib::Response &response) {
        const Answer answer = index < answers.size() ? answers.at(index) : Answer::Ok;
        response.status = answer == Answer::Ok ? 200 : answer == Answer::NotFound ? 404 : 400;
        response.set_content(answer == Answer::Ok ? pngSignature + "cut-out " + std::to_string(index) : "{\"errors\":[]}",
                             answer == Answer::Ok ? "image/png" : "application/json");
    };
}

// Answers each photo ("p0", "p1", ... as its bytes) by its own script, one token per try:
// "<status>[/<Retry-After>][@<delay ms>]"; "date" as Retry-After is an HTTP date in the past.
// Records when each 429 was answered and the wait it asked for.
struct PhotoScripts
{
    explicit PhotoScripts(const QStringList &scripts)
        : scripts(scripts)
    {
    }
    FakeService::Responder responder(FakeService &service)
    {
        return [this, &service](int index, const httplib::Request &request, httplib::Response &response) {
            ReceivedUpload upload;
            upload.body = request.body;
            const QByteArray name = upload.imageBytes();
            QString token;
            {
                std::lock_guard<std::mutex> lock(mutex);
                const QStringList tries = scripts.value(name.mid(1).toInt()).split(QLatin1Char(','));
                token = tries.value(triesSeen[name]++, QStringLiteral("200"));
                arrivals[name].push_back(service.uploads().at(std::size_t(index)).arrivedMs);
            }
            const QStringList parts = token.split(QLatin1Char('@'));
            std::this_thread::sleep_for(std::chrono::milliseconds(parts.value(1).toInt()));
            const QStringList statusAndWait = parts.at(0).split(QLatin1Char('/'));
            response.status = statusAndWait.at(0).toInt();
            if (statusAndWait.size() > 1) {
                const QString wait = statusAndWait.at(1) == QLatin1String("date") ? QStringLiteral("Wed, 21 Oct 2015 07:28:00 GMT")
                                                                               : statusAndWait.at(1);
                response.set_header("Retry-After", wait.toStdString());
                std::lock_guard<std::mutex> lock(mutex);
                const qint64 answered = service.uploads().at(std::size_t(index)).arrivedMs + parts.value(1).toInt();
                asked.push_back({name, int(arrivals[name].size()), answered, wait.toInt() * 1000});
                if (response.status == 429)
                    pauses.push_back({answered, wait.toInt() * 1000});
            }
            if (response.status == 200)
                response.set_content(pngSignature + "cut-out " + name.toStdString(), "image/png");
            else if (response.status == 403)
                response.set_content(R"({"errors":[{"title":"Invalid API key"}]})", "application/json");
        };
    }
    QStringList scripts;
    std::mutex mutex;
    std::map<QByteArray, int> triesSeen;
    std::vector<std::pair<qint64, qint64>> pauses; // of the whole batch, by 429: (answered at, ms asked to wait)
    std::map<QByteArray, std::vector<qint64>> arrivals; // of each photo's tries
    struct Asked { QByteArray photo; int tries; qint64 answered, waitMs; };
    std::vector<Asked> asked; // every Retry-After given
};

// Hostile or broken answers to the first of two uploads; the second is always a good one.
enum class Reply { Html, Empty, Redirect, ExplainedRefusal, TwoExplanations, UnexplainedError, EndlessStream,
                   GzipBomb, Jpeg, EndlessExplanation };

const std::string portalPage = "<html><body>Please log in to continue</body></html>";

std::string gzipOfZeros(std::size_t size)
{
    z_stream stream{};
    deflateInit2(&stream, 1, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> zeros(1 << 20, 0), out(1 << 20);
    std::string gzip;
    for (std::size_t done = 0; done < size; done += zeros.size()) {
        stream.next_in = zeros.data();
        stream.avail_in = uInt(zeros.size());
        do {
            stream.next_out = out.data();
            stream.avail_out = uInt(out.size());
            deflate(&stream, done + zeros.size() >= size ? Z_FINISH : Z_NO_FLUSH);
            gzip.append(reinterpret_cast<char *>(out.data()), out.size() - stream.avail_out);
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return gzip;
}

// Made once, before any upload, so that the fake answers at once.
const std::string &gzipBomb()
{
    static const std::string bomb = gzipOfZeros(std::size_t(300) << 20);
    return bomb;
}

void answerBadly(Reply reply, httplib::Response &response)
{
    const auto json = [&](int status, const std::string &body) {
        response.status = status;
        response.set_content(body, "application/json");
    };
    switch (reply) {
    case Reply::Html:
        response.set_content(portalPage, "text/html");
        break;
    case Reply::Empty:
        response.set_content("", "image/png");
        break;
    case Reply::Redirect:
        response.set_redirect("/v1.0/elsewhere");
        break;
    case Reply::ExplainedRefusal:
        json(403, R"({"errors":[{"title":"Invalid API key","detail":"The key was refused"}]})");
        break;
    case Reply::TwoExplanations:
        json(402, R"({"errors":[{"title":"Insufficient credits"},{"title":"Upgrade","detail":"Buy more"}]})");
        break;
    case Reply::EndlessExplanation: {
        std::string errors = R"({"errors":[)";
        for (int i = 0; i < 200000; ++i)
            errors += std::string(i ? "," : "") + R"({"title":"Bad field","detail":"Line\nbreak"})";
        json(400, errors + "]}");
        break;
    }
    case Reply::UnexplainedError:
        response.status = 501;
        response.set_content(portalPage, "text/html");
        break;
    case Reply::EndlessStream:
        // As fast as the loopback allows.
        response.set_chunked_content_provider("image/png", [](size_t, httplib::DataSink &sink) {
            static const std::string block = std::string("\x89PNG\r\n\x1a\n", 8) + std::string((1 << 20) - 8, 'x');
            return sink.write(block.data(), block.size());
        });
        break;
    case Reply::GzipBomb:
        response.set_header("Content-Encoding", "gzip");
        response.set_content(gzipBomb(), "image/png");
        break;
    case Reply::Jpeg:
        response.set_content(std::string("\xff\xd8\xff\xe0 a JPEG", 11), "image/jpeg");
        break;
    }
}

} // namespace

Q_DECLARE_METATYPE(Answer)
Q_DECLARE_METATYPE(Reply)

class TestClient : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { stopAfterAFailedRow(); }
    void initTestCase();
    void wireFormat_data();
    void wireFormat();
    void wireFormatOfARealJpeg();
    void signalOrder_data();
    void signalOrder();
    void refusedConnectionStillEndsTheBatch();
    void otherFailuresAreNotTriedAgain();
    void clearDuringTheKeyCheckSendsNothing();
    void destroyingDuringAnUploadSaysNothing();
    void refusedBuiltInAddressGivesAHint();
    void tasksWithoutStartFlagAreNeverSent();
    void lateReplyIsOnlyItsOutcome_data();
    void lateReplyIsOnlyItsOutcome();
    void badRepliesFailAndTheBatchGoesOn_data();
    void badRepliesFailAndTheBatchGoesOn();
    void severalAtOnceAndRetries_data();
    void severalAtOnceAndRetries();
    void clearLetsWhatIsInFlightFinish_data();
    void clearLetsWhatIsInFlightFinish();
    void accountCheck_data();
    void accountCheck();
    void accountAnswers_data();
    void accountAnswers();
    void heldAfterTheKeyCheck_data();
    void heldAfterTheKeyCheck();
    void replyClassification_data();
    void replyClassification();
    void retryPolicy_data();
    void retryPolicy();

private:
    QTemporaryDir dir;
    QString pathFor(const QString &name, const QByteArray &content);
    QStringList postPhotos(RemoveBGConn &client, const QStringList &names, const QString &key = QStringLiteral("key"));
};

void TestClient::initTestCase()
{
    QVERIFY(dir.isValid());
}

QString TestClient::pathFor(const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    writeBytes(path, content);
    return path;
}

// Writes each photo, its name before the dot as its bytes, and posts them as one batch.
QStringList TestClient::postPhotos(RemoveBGConn &client, const QStringList &names, const QString &key)
{
    QStringList paths;
    for (const QString &name : names)
        paths << pathFor(name, name.section(QLatin1Char('.'), 0, 0).toUtf8());
    postBatch(client, paths, key);
    return paths;
}

void TestClient::wireFormat_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("expectedBase64");
    QTest::addColumn<QString>("token");
    QTest::addColumn<UploadSize>("size");
    QTest::addColumn<QByteArray>("made"); // what the preparation sends in the file's place

    QTest::newRow("empty file") << QByteArray() << QByteArray() << QStringLiteral("key-0") << UploadSize::Auto << QByteArray();
    QTest::newRow("one byte") << QByteArray("A") << QByteArray("QQ==") << QStringLiteral("key-1") << UploadSize::Auto << QByteArray();
    QTest::newRow("two bytes") << QByteArray("AB") << QByteArray("QUI=") << QStringLiteral("key-2") << UploadSize::Auto << QByteArray();
    QTest::newRow("three bytes") << QByteArray("ABC") << QByteArray("QUJD") << QStringLiteral("key-3") << UploadSize::Auto << QByteArray();
    QTest::newRow("bytes FB FF use the URL-safe alphabet")
        << QByteArray("\xfb\xff", 2) << QByteArray("-_8=") << QStringLiteral("key-4") << UploadSize::Auto << QByteArray();
    QTest::newRow("token with inner spaces and non-ASCII is sent unaltered")
        << QByteArray("\xfb\xef\xbe", 3) << QByteArray("----") << QStringLiteral("clé 密钥 with inner spaces") << UploadSize::Auto << QByteArray();
    QTest::newRow("empty token") << QByteArray("hi") << QByteArray("aGk=") << QString() << UploadSize::Auto << QByteArray();
    // A sparse file: its Base64 would not fit in one QByteArray, and reading it once crashed.
    QTest::newRow("file over 1 GiB is sent as unreadable") << QByteArray("sparse") << QByteArray() << QStringLiteral("k") << UploadSize::Auto << QByteArray();
    QTest::newRow("preview asked: its size first") << QByteArray("hi") << QByteArray("aGk=") << QStringLiteral("k") << UploadSize::Preview << QByteArray();
    QTest::newRow("full size asked") << QByteArray("hi") << QByteArray("aGk=") << QStringLiteral("k") << UploadSize::Full << QByteArray();
    QTest::newRow("bytes made from the photo go in its place")
        << QByteArray("photo") << QByteArray("QUJD") << QStringLiteral("k") << UploadSize::Preview << QByteArray("ABC");
}

void TestClient::wireFormat()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, expectedBase64);
    QFETCH(QString, token);
    QFETCH(UploadSize, size);
    QFETCH(QByteArray, made);

    FakeService service;
    RemoveBGConn client(service.endpoint());
    EventLog log(&client);
    client.setUploadSize(size);
    QByteArray prepared;
    UploadSize preparedFor = UploadSize::Auto;
    client.setPreparation([&](const QByteArray &photo, UploadSize asked) {
        prepared = photo;
        preparedFor = asked;
        return PreparedUpload{nullptr, false, made};
    });
    const QString path = pathFor(QStringLiteral("wire.bin"), content);
    if (content == "sparse")
        QVERIFY(QFile::resize(path, (qint64(1) << 30) + 1));

    client.postData(path, token, true);
    QTRY_COMPARE(log.count(allDone), 1);

    QCOMPARE(service.uploadCount(), 1);
    const ReceivedUpload upload = service.uploads().front();
    QCOMPARE(upload.method, std::string("POST"));
    QCOMPARE(upload.path, std::string("/v1.0/removebg"));
    QCOMPARE(QByteArray::fromStdString(upload.apiKey), token.toUtf8());
    QCOMPARE(upload.contentType, std::string("application/x-www-form-urlencoded"));
    static const char *const fields[] = {"size=auto&", "size=preview&", "size=full&"};
    QCOMPARE(QByteArray::fromStdString(upload.body), fields[int(size)] + QByteArray("image_file_b64=") + expectedBase64);
    QCOMPARE(prepared, content == "sparse" ? QByteArray() : content);
    QCOMPARE(preparedFor, size);
}

void TestClient::wireFormatOfARealJpeg()
{
    FakeService service;
    RemoveBGConn client(service.endpoint());
    EventLog log(&client);
    const QByteArray jpeg = encode(photoLike(101, 67), ".jpg");
    const QString path = pathFor(QStringLiteral("photo.jpg"), jpeg);
    client.postData(path, QStringLiteral("key"), true);
    QTRY_COMPARE(log.count(allDone), 1);

    const QByteArray body = QByteArray::fromStdString(service.uploads().front().body);
    const QByteArray prefix("size=auto&image_file_b64=");
    QVERIFY(body.startsWith(prefix));
    const QByteArray encoded = body.mid(prefix.size());
    QCOMPARE(encoded.size(), 4 * ((jpeg.size() + 2) / 3));
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]*={0,2}$")).match(QString::fromLatin1(encoded)).hasMatch(),
             "URL-safe alphabet, no line breaks, no percent-encoding");
    QCOMPARE(int(encoded.count('=')), (3 - jpeg.size() % 3) % 3);
    QCOMPARE(QByteArray::fromBase64(encoded, QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors), jpeg);
}

void TestClient::signalOrder_data()
{
    QTest::addColumn<int>("taskCount");
    QTest::addColumn<QVector<Answer>>("answers");
    QTest::addColumn<int>("unreadableTask");

    QTest::newRow("one task that succeeds") << 1 << QVector<Answer>{Answer::Ok} << -1;
    QTest::newRow("second of three fails with HTTP 404")
        << 3 << QVector<Answer>{Answer::Ok, Answer::NotFound, Answer::Ok} << -1;
    QTest::newRow("second of three cannot be read and is refused")
        << 3 << QVector<Answer>{Answer::Ok, Answer::BadRequest, Answer::Ok} << 1;
    QTest::newRow("last of two fails") << 2 << QVector<Answer>{Answer::Ok, Answer::NotFound} << -1;
    QTest::newRow("only task fails") << 1 << QVector<Answer>{Answer::NotFound} << -1;
}

void TestClient::signalOrder()
{
    QFETCH(int, taskCount);
    QFETCH(QVector<Answer>, answers);
    QFETCH(int, unreadableTask);

    FakeService service;
    service.setResponder(scripted(answers));
    RemoveBGConn client(service.endpoint());
    EventLog log(&client);

    QStringList paths;
    for (int i = 0; i < taskCount; ++i) {
        const QString name = QStringLiteral("task%1.png").arg(i);
        paths << (i == unreadableTask ? dir.filePath(QStringLiteral("missing.png"))
                                      : pathFor(name, "image " + QByteArray::number(i)));
        client.postData(paths.last(), QStringLiteral("key"), i == taskCount - 1);
    }
    QTRY_COMPARE(log.count(allDone), 1);

    QStringList expected;
    for (int i = 0; i < taskCount; ++i) {
        const QString body = "12345678cut-out " + QString::number(i);
        expected << (answers.at(i) == Answer::Ok ? succeededLines(paths.at(i), body.size()) : failedLines(paths.at(i)));
    }
    expected << allDone;
    QCOMPARE(log.events, expected);

    // Each image went out once, in order; the unreadable one as an empty image.
    const auto uploads = service.uploads();
    QCOMPARE(int(uploads.size()), taskCount);
    for (int i = 0; i < taskCount; ++i)
        QCOMPARE(uploads[i].imageBytes(), i == unreadableTask ? QByteArray() : "image " + QByteArray::number(i));
    for (const QString &error : log.errors)
        QVERIFY2(!error.isEmpty(), "a failure is reported with the network layer's text");
    // Handled replies are released, not kept until the client goes.
    QTRY_COMPARE(client.findChildren<QNetworkReply *>().size(), 0);
}

void TestClient::refusedConnectionStillEndsTheBatch()
{
    RemoveBGConn client(QUrl(QStringLiteral("http://127.0.0.1:%1/v1.0/removebg").arg(closedLocalPort())), quickSettings());
    EventLog log(&client);
    const QStringList paths = postPhotos(client, {"r1.png", "r2.png"});
    const QString first = paths.at(0), second = paths.at(1);
    QTRY_COMPARE(log.count(allDone), 1);
    // Tried twice more, after the two passing-failure waits, then given up.
    const QStringList retries = QStringList() << retriedLines(QStringLiteral("连接出错（Connection refused），0.05 秒后重试"))
                                              << retriedLines(QStringLiteral("连接出错（Connection refused），0.1 秒后重试"));
    // Nothing was sent, so no line says it was.
    const QStringList expected = QStringList() << sentLines(first) << retries << "error" << sentLines(second) << retries << "error" << allDone;
    QCOMPARE(log.events, QStringList(expected).filter(QRegularExpression(QStringLiteral("^(?!info:发送完成！正在接收...$)"))));
    QCOMPARE(log.errors, QStringList({"Connection refused", "Connection refused"}));
    QCOMPARE(log.outcomes, QStringList({"r1.png:failed", "r2.png:failed"}));
}

void TestClient::otherFailuresAreNotTriedAgain()
{
    // A scheme the network layer does not know fails at once, and no other try can mend it.
    RemoveBGConn client(QUrl(QStringLiteral("gopher://127.0.0.1:1/v1.0/removebg")), quickSettings());
    EventLog log(&client);
    const QString path = pathFor(QStringLiteral("g.png"), "one");
    client.postData(path, QStringLiteral("key"), true);
    QTRY_COMPARE(log.ends, 1);
    QCOMPARE(log.events, QStringList() << sentLines(path).mid(0, 3) << "error" << allDone);
}

void TestClient::clearDuringTheKeyCheckSendsNothing()
{
    FakeService service;
    service.setAccountResponder([](const httplib::Request &, httplib::Response &response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        response.status = 404;
    });
    RemoveBGConn::Settings settings = quickSettings();
    settings.accountTimeoutMs = 10000;
    RemoveBGConn client(service.endpoint(), settings);
    EventLog log(&client);
    client.postData(pathFor(QStringLiteral("k.png"), "one"), QStringLiteral("key"), true);
    QTRY_COMPARE(int(service.accountKeys().size()), 1);
    client.clearData();
    QCOMPARE(log.ends, 1);
    QVERIFY2(log.events.isEmpty(), qPrintable(log.events.join(QLatin1Char('|'))));
    // The key check is aborted, not left to end on its own 1.5 s later.
    QTRY_COMPARE_WITH_TIMEOUT(client.findChildren<QNetworkReply *>().size(), 0, 1000);
    QCOMPARE(service.uploadCount(), 0);
}

void TestClient::destroyingDuringAnUploadSaysNothing()
{
    FakeService service;
    service.holdRequest(0);
    auto client = std::make_unique<RemoveBGConn>(service.endpoint(), quickSettings());
    EventLog log(client.get());
    client->postData(pathFor(QStringLiteral("d.png"), "one"), QStringLiteral("key"), true);
    QTRY_COMPARE(service.uploadCount(), 1);
    const QStringList before = log.events;
    client.reset();
    QCOMPARE(log.events, before);
    QCOMPARE(log.ends, 0);
}

void TestClient::refusedBuiltInAddressGivesAHint()
{
    const QUrl builtIn(QStringLiteral(QUORRIN_SERVICE_URL));
    QTcpSocket probe;
    probe.connectToHost(builtIn.host(), quint16(builtIn.port()));
    if (!QHostAddress(builtIn.host()).isLoopback() || probe.waitForConnected(1000))
        QSKIP("the build's address is not a local one with nothing listening");
    RemoveBGConn client(builtIn, quickSettings());
    EventLog log(&client);
    postPhotos(client, {"h1.png", "h2.png"});
    QTRY_COMPARE(log.ends, 1);
    // One hint, right after the first error line.
    const QString hint = QStringLiteral("info:提示：本机的替身服务没有运行。可用 quorrin-offline 启动它再打开窗口，或用 --service-url 指向真正的服务");
    QCOMPARE(log.events.count(hint), 1);
    QCOMPARE(log.events.indexOf(hint), log.events.indexOf(QStringLiteral("error")) + 1);
}

void TestClient::tasksWithoutStartFlagAreNeverSent()
{
    FakeService service;
    service.setResponder(scripted({}));
    RemoveBGConn client(service.endpoint());
    EventLog log(&client);

    client.postData(pathFor(QStringLiteral("old1.png"), "old one"), QStringLiteral("key"), false);
    client.postData(pathFor(QStringLiteral("old2.png"), "old two"), QStringLiteral("key"), false);
    // Nor does asking it to send what may go now: no batch has begun. A post would have
    // made its reply at once.
    QVERIFY(client.postDataReal());
    QVERIFY(client.findChildren<QNetworkReply *>().isEmpty());
    QCOMPARE(service.uploadCount(), 0);
    QVERIFY(log.events.isEmpty());

    // A clear, then a new batch: it begins at the first new task, and the old ones never go.
    client.clearData();
    const QString fresh = pathFor(QStringLiteral("new.png"), "new");
    client.postData(fresh, QStringLiteral("key"), true);
    QTRY_COMPARE(log.count(allDone), 1);
    QCOMPARE(log.events, QStringList() << succeededLines(fresh, 17) << allDone);
    QCOMPARE(service.uploadCount(), 1);
    QCOMPARE(service.uploads().front().imageBytes(), QByteArray("new"));
}

void TestClient::lateReplyIsOnlyItsOutcome_data()
{
    QTest::addColumn<bool>("clearFirst");
    QTest::newRow("stop during a slow upload, then a new batch") << true;
    QTest::newRow("new batch started during a slow upload") << false;
}

void TestClient::lateReplyIsOnlyItsOutcome()
{
    QFETCH(bool, clearFirst);

    FakeService service;
    service.setResponder(scripted({}));
    service.holdRequest(0);
    RemoveBGConn client(service.endpoint());
    EventLog log(&client);

    const QString slow = pathFor(QStringLiteral("slow.png"), "slow");
    client.postData(slow, QStringLiteral("key"), true);
    QTRY_COMPARE(service.uploadCount(), 1);

    if (clearFirst)
        client.clearData();
    const QString a = pathFor(QStringLiteral("a.png"), "first new");
    const QString b = pathFor(QStringLiteral("b.png"), "second new");
    client.postData(a, QStringLiteral("key"), false);
    client.postData(b, QStringLiteral("key"), true);
    // Without a clear the old task is still queued first, and goes out once more.
    QTRY_COMPARE(log.count(allDone), 1);
    QCOMPARE(log.lastEnd.batch, 2);
    // The old upload, still held by the fake, was left to finish: the service has the photo.
    QCOMPARE(client.findChildren<QNetworkReply *>().size(), 1);

    // Now let the old upload finish: it writes no line, and only its outcome tells of it.
    service.release();
    QTRY_COMPARE(log.outcomes.count(QStringLiteral("slow.png:late:ok")), 1);
    QCOMPARE(log.typed.last().batch, 1);
    QCOMPARE(log.typed.last().index, 0);
    QCOMPARE(log.typed.last().cutout, QByteArray::fromStdString(pngSignature) + "cut-out 0");

    QStringList expected = QStringList() << sentLines(slow).mid(0, 3);
    QStringList batch = clearFirst ? QStringList{a, b} : QStringList{slow, a, b};
    for (int i = 0; i < batch.size(); ++i)
        expected << succeededLines(batch.at(i), QStringLiteral("12345678cut-out %1").arg(i + 1).size());
    expected << allDone;
    QCOMPARE(log.events, expected);

    // Every body handed on belongs to the upload of that path, never to the held one.
    const auto uploads = service.uploads();
    QCOMPARE(int(uploads.size()), batch.size() + 1);
    for (int i = 0; i < batch.size(); ++i)
        QCOMPARE(uploads[i + 1].imageBytes(), readBytes(batch.at(i)));
    QCOMPARE(log.bodies.size(), batch.size());
    for (int i = 0; i < batch.size(); ++i)
        QCOMPARE(log.bodies.at(i), QByteArray::fromStdString(pngSignature) + "cut-out " + QByteArray::number(i + 1));
}

void TestClient::badRepliesFailAndTheBatchGoesOn_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("error"); // a pattern for the whole line; empty when the reply is a cut-out
    QTest::addColumn<int>("jobs");      // uploads at once; one more photo than that follows the bad one

    const QString notAnImage = QStringLiteral("^服务的回复不是图片：HTTP %1，类型 %2，%3 字节$");
    QTest::newRow("captive portal's page") << Reply::Html << notAnImage.arg(200).arg("text/html").arg(portalPage.size()) << 1;
    QTest::newRow("empty body") << Reply::Empty << notAnImage.arg(200).arg("image/png").arg(0) << 1;
    QTest::newRow("redirect, never followed") << Reply::Redirect << notAnImage.arg(302).arg("（无）").arg(0) << 1;
    QTest::newRow("refusal explained in JSON")
        << Reply::ExplainedRefusal << "^[^—]*Forbidden[^—]* — Invalid API key: The key was refused$" << 1;
    QTest::newRow("two explanations")
        << Reply::TwoExplanations << "^[^—]*Payment Required[^—]* — Insufficient credits; Upgrade: Buy more$" << 1;
    QTest::newRow("200,000 explanations cut to one line")
        << Reply::EndlessExplanation << "^[^—]*Bad Request[^—]* — (Bad field: Line break; ){13}…$" << 1;
    QTest::newRow("error page that is not JSON") << Reply::UnexplainedError << "^[^—]*Not Implemented[^—]*$" << 1;
    QTest::newRow("endless stream") << Reply::EndlessStream << "^服务的回复超过 256 MiB，已中止接收$" << 1;
    QTest::newRow("endless stream beside three others, four at once")
        << Reply::EndlessStream << "^服务的回复超过 256 MiB，已中止接收$" << 4;
    QTest::newRow("gzip bomb of 300 MiB") << Reply::GzipBomb << "^服务的回复超过 256 MiB，已中止接收$" << 1;
    QTest::newRow("a JPEG is a cut-out") << Reply::Jpeg << QString() << 1;
}

void TestClient::badRepliesFailAndTheBatchGoesOn()
{
    QFETCH(Reply, reply);
    QFETCH(QString, error);
    QFETCH(int, jobs);

    FakeService service;
    service.setResponder([reply](int, const httplib::Request &request, httplib::Response &response) {
        ReceivedUpload upload;
        upload.body = request.body;
        if (upload.imageBytes() == "first")
            answerBadly(reply, response);
        else
            response.set_content(fakeCutout.toStdString(), "image/png");
    });
    if (reply == Reply::GzipBomb)
        QVERIFY(gzipBomb().size() < (2u << 20));
    QVERIFY(resetPeakResident());
    RemoveBGConn client(service.endpoint(), quickSettings(jobs));
    EventLog log(&client);
    QStringList names{"first.jpg"};
    for (int i = 0; i < jobs; ++i)
        names << QStringLiteral("good%1.jpg").arg(i);
    const QStringList paths = postPhotos(client, names);
    const QString first = paths.at(0);
    QTRY_COMPARE_WITH_TIMEOUT(log.ends, 1, 10000);

    // A refused key (401, 402, 403) stops the batch: the second photo is never sent.
    const bool keyRefused = reply == Reply::ExplainedRefusal || reply == Reply::TwoExplanations;
    QStringList expected = error.isEmpty() ? succeededLines(first, 11) : failedLines(first);
    for (const QString &good : paths.mid(1))
        expected << (keyRefused ? QStringList() : succeededLines(good, fakeCutout.size()));
    QCOMPARE(log.events, expected << (keyRefused ? QStringLiteral("error") : allDone));
    if (!error.isEmpty())
        QVERIFY2(QRegularExpression(error).match(log.errors.value(0)).hasMatch(), qPrintable(log.errors.value(0)));
    if (keyRefused)
        QVERIFY2(log.errors.last().startsWith(reply == Reply::TwoExplanations ? QStringLiteral("账户额度已用完（HTTP 402：")
                                                                              : QStringLiteral("服务不接受这个密钥（HTTP 403："))
                     // A spent credit leaves the photo it met unsent as well.
                     && log.errors.last().endsWith(reply == Reply::TwoExplanations ? QStringLiteral("），已停止发送，2 张未发送")
                                                                                   : QStringLiteral("），已停止发送，1 张未发送")),
                 qPrintable(log.errors.last()));
    else
        QCOMPARE(log.bodies.last(), fakeCutout);
    const auto uploads = service.uploads();
    QCOMPARE(int(uploads.size()), keyRefused ? 1 : names.size());
    for (const ReceivedUpload &upload : uploads)
        QCOMPARE(upload.path, std::string("/v1.0/removebg"));
#ifndef QUORRIN_UNDER_ASAN
    // What is held stops at the cap, also at full loopback speed: the bomb alone would be
    // 300 MiB, the stream unbounded.
    QVERIFY2(peakResidentKilobytes() < 700 * 1024, qPrintable(QString::number(peakResidentKilobytes())));
#endif
}

void TestClient::severalAtOnceAndRetries_data()
{
    QTest::addColumn<int>("jobs");
    QTest::addColumn<int>("stallMs");
    QTest::addColumn<QStringList>("scripts");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("atOnce"); // the fewest uploads the fake must see at once

    const auto path = [this](int i) { return dir.filePath(QStringLiteral("p%1.png").arg(i)); };
    const auto ok = [&](int i) { return succeededLines(path(i), 18); };
    const auto tail = [&](int i) { return QStringList{"info:接收完成！", QStringLiteral("data:%1:18").arg(path(i))}; };
    const auto retry = [](const char *line) { return retriedLines(QString::fromUtf8(line)); };
    const QString stalled = QStringLiteral("连接出错（服务 0.3 秒没有收发任何数据，已中止），0.05 秒后重试");

    // Most rows: no stall limit, and one upload at a time is enough.
    const auto row = [](const char *name, int jobs, const QStringList &scripts, const QStringList &expected, int atOnce = 1,
                        int stallMs = 120000) { QTest::newRow(name) << jobs << stallMs << scripts << expected << atOnce; };

    row("replies out of order, lines in order", 3, {"200@600", "200@300", "200@100"}, ok(0) << ok(1) << ok(2) << allDone, 3);
    row("one job: one upload at a time", 1, {"200@200", "200"}, ok(0) << ok(1) << allDone);
    row("429 with Retry-After holds back the whole batch", 2, {"429/1,200", "200@100", "200"},
        sentLines(path(0)) << retry("服务繁忙（HTTP 429），1 秒后重试") << tail(0) << ok(1) << ok(2) << allDone, 2);
    row("429 without Retry-After waits the default", 1, {"429,200"},
        sentLines(path(0)) << retry("服务繁忙（HTTP 429），0.3 秒后重试") << tail(0) << allDone);
    row("429 with an HTTP date already past", 1, {"429/date,200"},
        sentLines(path(0)) << retry("服务繁忙（HTTP 429），0 秒后重试") << tail(0) << allDone);
    row("429 five times is a failure", 1, {"429/0,429/0,429/0,429/0,429/0", "200"},
        sentLines(path(0)) << retry("服务繁忙（HTTP 429），0 秒后重试") << retry("服务繁忙（HTTP 429），0 秒后重试")
                           << retry("服务繁忙（HTTP 429），0 秒后重试") << retry("服务繁忙（HTTP 429），0 秒后重试") << "error" << ok(1) << allDone);
    row("503, then success", 1, {"503,200"}, sentLines(path(0)) << retry("服务出错（HTTP 503），0.05 秒后重试") << tail(0) << allDone);
    row("503 honours its Retry-After", 1, {"503/1,200"},
        sentLines(path(0)) << retry("服务出错（HTTP 503），1 秒后重试") << tail(0) << allDone);
    row("502 three times is a failure", 2, {"502,502,502", "200"},
        sentLines(path(0)) << retry("服务出错（HTTP 502），0.05 秒后重试") << retry("服务出错（HTTP 502），0.1 秒后重试") << "error" << ok(1) << allDone);
    row("504 and 500 are passing too", 1, {"504,500,200"},
        sentLines(path(0)) << retry("服务出错（HTTP 504），0.05 秒后重试") << retry("服务出错（HTTP 500），0.1 秒后重试") << tail(0) << allDone);
    row("400 is never tried again", 1, {"400", "200"}, failedLines(path(0)) << ok(1) << allDone);
    // The fake still holds the stalled upload when the next try comes: two at once there.
    row("a stall is tried again", 1, {"200@1500,200"}, sentLines(path(0)) << retriedLines(stalled) << tail(0) << allDone, 2, 300);
    row("403 stops the batch, and what is in flight is still reported", 2, {"403", "200@300", "200"},
        failedLines(path(0)) << ok(1) << "error", 2);
    row("403 while another photo waits out a 429: it is never sent again", 2, {"429/1,200", "403@100"},
        sentLines(path(0)) << "info:服务繁忙（HTTP 429），1 秒后重试" << failedLines(path(1)) << "error", 2);
}

void TestClient::severalAtOnceAndRetries()
{
    QFETCH(int, jobs);
    QFETCH(int, stallMs);
    QFETCH(QStringList, scripts);
    QFETCH(QStringList, expected);
    QFETCH(int, atOnce);

    PhotoScripts script(scripts); // outlives the fake, whose handlers use it
    FakeService service;
    service.setResponder(script.responder(service));
    RemoveBGConn client(service.endpoint(), quickSettings(jobs, stallMs));
    EventLog log(&client);
    QStringList names;
    for (int i = 0; i < scripts.size(); ++i)
        names << QStringLiteral("p%1.png").arg(i);
    postPhotos(client, names);
    QTRY_COMPARE_WITH_TIMEOUT(log.ends, 1, 8000);

    QCOMPARE(log.events, expected);
    QCOMPARE(log.reasons, log.errors.mid(0, log.reasons.size()));
    QCOMPARE(service.uploadCount(), int(expected.count(QStringLiteral("info:正在发送..."))));
    QVERIFY2(service.mostAtOnce() >= atOnce && service.mostAtOnce() <= qMax(jobs, atOnce),
             qPrintable(QString::number(service.mostAtOnce())));
    // An ended batch leaves no timer to wake the thread.
    for (const QTimer *timer : client.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
        QVERIFY(!timer->isActive());
    // A Retry-After is never cut short: the photo's next try comes no sooner.
    for (const auto &retry : script.asked) {
        const std::vector<qint64> &tries = script.arrivals[retry.photo];
        QVERIFY2(int(tries.size()) <= retry.tries || tries.at(std::size_t(retry.tries)) >= retry.answered + retry.waitMs,
                 qPrintable(QStringLiteral("a try of %1 before its Retry-After was over").arg(QString::fromLatin1(retry.photo))));
    }
    // While a 429 waits, nothing new is sent: no upload arrives until its Retry-After is over.
    for (const auto &pause : script.pauses)
        for (const ReceivedUpload &upload : service.uploads())
            QVERIFY2(upload.arrivedMs <= pause.first + 100 || upload.arrivedMs >= pause.first + pause.second,
                     qPrintable(QStringLiteral("an upload at %1 ms, during a pause from %2 ms").arg(upload.arrivedMs).arg(pause.first)));
}

void TestClient::clearLetsWhatIsInFlightFinish_data()
{
    QTest::addColumn<bool>("drop");
    QTest::newRow("a clear: the two in flight finish, late") << false;
    QTest::newRow("a clear, then the two in flight dropped") << true;
}

void TestClient::clearLetsWhatIsInFlightFinish()
{
    QFETCH(bool, drop);
    PhotoScripts script({"200@1000", "200", "200@1000", "200@1000", "200"});
    FakeService service;
    service.setResponder(script.responder(service));
    RemoveBGConn client(service.endpoint(), quickSettings(3));
    EventLog log(&client);
    const QStringList paths = postPhotos(client, {"p0.png", "p1.png", "p2.png", "p3.png", "p4.png"});
    // The second cut-out has arrived (its reply released) and waits behind the first; the
    // fourth photo has taken its place.
    QTRY_COMPARE(service.uploadCount(), 4);
    QTRY_COMPARE(client.findChildren<QNetworkReply *>().size(), 3);
    QVERIFY(client.postDataReal()); // true in every case; with every job busy it sends nothing more
    QCOMPARE(client.findChildren<QNetworkReply *>().size(), 3);
    client.clearData();

    // Arrived, so reported in order; the fifth is never sent.
    QCOMPARE(log.events, QStringList() << sentLines(paths.at(0)).mid(0, 3) << succeededLines(paths.at(1), 18));
    QCOMPARE(log.ends, 1);
    QCOMPARE(log.lastEnd.unsent, 1);
    QCOMPARE(log.lastEnd.stillInFlight, 3);
    const QStringList afterClear = log.events;
    if (drop)
        client.dropInFlight();
    QTRY_COMPARE(log.outcomes.size(), 4);
    QStringList outcomes = log.outcomes;
    std::sort(outcomes.begin() + 1, outcomes.end());
    const QString late = drop ? QStringLiteral(":late:abandoned") : QStringLiteral(":late:ok");
    QCOMPARE(outcomes, QStringList({"p1.png:ok", "p0.png" + late, "p2.png" + late, "p3.png" + late}));
    QCOMPARE(log.events, afterClear);
    QTRY_COMPARE(client.findChildren<QNetworkReply *>().size(), 0);
    QCOMPARE(service.uploadCount(), 4);
}

void TestClient::accountCheck_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QString>("line"); // the first event; empty: none before the photo's own

    const QByteArray balance = R"({"data":{"attributes":{"credits":{"total":37.5,"subscription":30}}}})";
    const QByteArray refusal = R"({"errors":[{"title":"Invalid API key"}]})";
    // Answered at once unless a delay is given.
    const auto row = [](const char *name, int status, const QByteArray &body, const QString &line, int delayMs = 0) {
        QTest::newRow(name) << status << body << delayMs << line;
    };
    row("balance before the first photo", 200, balance, "info:账户余额：37.5");
    row("a whole balance", 200, R"({"data":{"attributes":{"credits":{"total":200}}}})", "info:账户余额：200");
    row("401 stops the batch before any upload", 401, refusal,
        "error:服务不接受这个密钥（HTTP 401：Invalid API key），本批没有发送任何照片，2 张未发送");
    row("402: the credit is spent", 402, {}, "error:账户额度已用完（HTTP 402），本批没有发送任何照片，2 张未发送");
    row("no such endpoint", 404, {}, {});
    row("a server error", 500, balance, {});
    row("not that JSON", 200, R"({"data":{"credits":5}})", {});
    row("not JSON at all", 200, "<html>", {});
    row("a redirect is not followed", 302, {}, {});
    row("no answer within the limit", 200, balance, {}, 2500);
}

void TestClient::accountCheck()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, delayMs);
    QFETCH(QString, line);

    FakeService service;
    service.setAccountResponder([=](const httplib::Request &, httplib::Response &response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        response.status = status;
        if (status == 302)
            response.set_header("Location", "/v1.0/elsewhere");
        response.set_content(body.toStdString(), "application/json");
    });
    RemoveBGConn client(service.endpoint(), quickSettings());
    EventLog log(&client);
    const QStringList paths = postPhotos(client, {"a1.png", "a2.png"}, QStringLiteral("the key"));
    QTRY_COMPARE_WITH_TIMEOUT(log.ends, 1, 5000);

    // A balance is asked for again once the batch is over, and the batch ends with it.
    const bool balance = line.startsWith(QStringLiteral("info:账户余额："));
    const std::vector<std::string> keys = service.accountKeys();
    QCOMPARE(int(keys.size()), balance ? 2 : 1);
    QVERIFY(std::all_of(keys.begin(), keys.end(), [](const std::string &key) { return key == "the key"; }));
    QCOMPARE(log.lastEnd.balanceKnown, balance);
    if (balance)
        QCOMPARE(QStringLiteral("info:账户余额：") + QString::number(log.lastEnd.balanceLeft), line);
    if (line.startsWith(QLatin1String("error:"))) {
        QCOMPARE(log.events, QStringList{"error"});
        QCOMPARE(log.errors, QStringList{line.mid(6)});
        QCOMPARE(service.uploadCount(), 0);
        return;
    }
    QStringList expected = QStringList() << succeededLines(paths.at(0), fakeCutout.size())
                                         << succeededLines(paths.at(1), fakeCutout.size()) << allDone;
    if (!line.isEmpty())
        expected.prepend(line);
    QCOMPARE(log.events, expected);
}

void TestClient::accountAnswers_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QString>("answer"); // "balance <n>", "refused <why>", or "unknown"

    const QByteArray balance = R"({"data":{"attributes":{"credits":{"total":12.25}}}})";
    QTest::newRow("a balance") << 200 << balance << true << "balance 12.25";
    QTest::newRow("a balance cut short") << 200 << balance << false << "unknown";
    QTest::newRow("a balance that is text") << 200 << QByteArray(R"({"data":{"attributes":{"credits":{"total":"5"}}}})") << true << "unknown";
    QTest::newRow("a balance with another status") << 201 << balance << true << "unknown";
    QTest::newRow("401 with titles, one empty")
        << 401 << QByteArray(R"({"errors":[{"title":" Invalid  key "},{"detail":"x"},{"title":"Again"}]})") << true
        << "refused HTTP 401：Invalid key; Again";
    QTest::newRow("402 without a body") << 402 << QByteArray() << true << "refused HTTP 402";
    QByteArray many = R"({"errors":[)";
    for (int i = 0; i < 100000; ++i)
        many += QByteArray(i ? "," : "") + R"({"title":"No"})";
    QTest::newRow("401 with 100,000 titles: one line cut short") << 401 << many + "]}" << true
        << "refused HTTP 401：" + QStringLiteral("No; ").repeated(75).left(299) + "…";
    QTest::newRow("403 cut short is refused all the same") << 403 << QByteArray() << false << "refused HTTP 403";
    QTest::newRow("404") << 404 << balance << true << "unknown";
}

void TestClient::accountAnswers()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, complete);
    QFETCH(QString, answer);
    const AccountAnswer read = readAccountAnswer(status, body, complete);
    const QString seen = read.result == AccountAnswer::Balance   ? QStringLiteral("balance ") + QString::number(read.balance)
                         : read.result == AccountAnswer::Refused ? QStringLiteral("refused ") + read.why
                                                                 : QStringLiteral("unknown");
    QCOMPARE(seen, answer);
}

void TestClient::heldAfterTheKeyCheck_data()
{
    QTest::addColumn<bool>("send");
    QTest::newRow("go ahead: sent") << true;
    QTest::newRow("told not to: nothing sent") << false;
}

void TestClient::heldAfterTheKeyCheck()
{
    QFETCH(bool, send);
    FakeService service;
    service.setAccountResponder([](const httplib::Request &, httplib::Response &response) {
        response.set_content(R"({"data":{"attributes":{"credits":{"total":1}}}})", "application/json");
    });
    RemoveBGConn client(service.endpoint(), quickSettings());
    client.setHoldAfterKeyCheck(true);
    EventLog log(&client);
    QSignalSpy checked(&client, &RemoveBGConn::keyChecked);
    postPhotos(client, {"h1.png", "h2.png"});
    QVERIFY(checked.wait(5000));
    QCOMPARE(checked.at(0), QVariantList({1, true, 1.0}));
    QTest::qWait(200);
    QCOMPARE(service.uploadCount(), 0);
    client.goAhead(2, true); // another batch's answer is not this one's
    QTest::qWait(100);
    QCOMPARE(service.uploadCount(), 0);
    client.goAhead(1, send);
    QTRY_COMPARE(log.ends, 1);
    QCOMPARE(service.uploadCount(), send ? 2 : 0);
    QCOMPARE(log.lastEnd.unsent, send ? 0 : 2);
}

void TestClient::replyClassification_data()
{
    QTest::addColumn<int>("error"); // QNetworkReply::NetworkError
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("readerFailure");
    QTest::addColumn<int>("kind"); // UploadOutcome::Kind
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("flags"); // "busy", "passing" or empty

    const QByteArray png("\x89PNG\r\n\x1a\nrest", 12);
    const QByteArray explained = R"({"errors":[{"title":"No credit","detail":"Buy more"},{"title":"Again"}]})";
    const auto row = [](const char *name, QNetworkReply::NetworkError error, int status, const QByteArray &body,
                        UploadOutcome::Kind kind, const QString &line, const QString &flags = {},
                        ReplyReader::Failure reader = ReplyReader::None) {
        QTest::newRow(name) << int(error) << status << body << int(reader) << int(kind) << line << flags;
    };
    const auto none = QNetworkReply::NoError;
    row("a PNG is a cut-out", none, 200, png, UploadOutcome::CutOut, {});
    row("a JPEG is a cut-out", none, 201, "\xff\xd8\xff\xe0", UploadOutcome::CutOut, {});
    row("a page is not", none, 200, "<html>", UploadOutcome::NotAnImage, "服务的回复不是图片：HTTP 200，类型 text/plain，6 字节");
    row("a PNG with a redirect status is not", none, 302, png, UploadOutcome::NotAnImage,
        "服务的回复不是图片：HTTP 302，类型 text/plain，12 字节");
    row("too large, whatever came", none, 200, png, UploadOutcome::TooLarge, "服务的回复超过 256 MiB，已中止接收", {},
        ReplyReader::TooLarge);
    row("stalled is passing", QNetworkReply::OperationCanceledError, 0, {}, UploadOutcome::Stalled,
        "服务 0.3 秒没有收发任何数据，已中止", "passing", ReplyReader::Stalled);
    row("403 is the key", QNetworkReply::ContentAccessDenied, 403, explained, UploadOutcome::KeyRefused,
        "the words — No credit: Buy more; Again");
    row("401 is the key", QNetworkReply::AuthenticationRequiredError, 401, {}, UploadOutcome::KeyRefused, "the words");
    row("402 is the credit", QNetworkReply::UnknownContentError, 402, {}, UploadOutcome::CreditSpent, "the words");
    row("400 is this photo", QNetworkReply::ProtocolInvalidOperationError, 400, "not json", UploadOutcome::Refused, "the words");
    row("404 is this photo", QNetworkReply::ContentNotFoundError, 404, {}, UploadOutcome::Refused, "the words");
    row("429 is busy", QNetworkReply::UnknownContentError, 429, {}, UploadOutcome::Refused, "the words", "busy");
    for (int status : {500, 502, 503, 504})
        row(qPrintable(QStringLiteral("%1 is passing").arg(status)), QNetworkReply::InternalServerError, status, {},
            UploadOutcome::Refused, "the words", "passing");
    row("501 is not", QNetworkReply::OperationNotImplementedError, 501, {}, UploadOutcome::Refused, "the words");
    row("a refused connection is passing", QNetworkReply::ConnectionRefusedError, 0, {}, UploadOutcome::Network, "the words", "passing");
    row("a closed connection is passing", QNetworkReply::RemoteHostClosedError, 0, {}, UploadOutcome::Network, "the words", "passing");
    row("a timeout is passing", QNetworkReply::TimeoutError, 0, {}, UploadOutcome::Network, "the words", "passing");
    row("a lost network is passing", QNetworkReply::TemporaryNetworkFailureError, 0, {}, UploadOutcome::Network, "the words", "passing");
    row("a lost session is passing", QNetworkReply::NetworkSessionFailedError, 0, {}, UploadOutcome::Network, "the words", "passing");
    row("an unknown network error is passing", QNetworkReply::UnknownNetworkError, 0, {}, UploadOutcome::Network, "the words", "passing");
    row("an unknown host is not", QNetworkReply::HostNotFoundError, 0, {}, UploadOutcome::Network, "the words");
    row("an unknown scheme is not", QNetworkReply::ProtocolUnknownError, 0, {}, UploadOutcome::Network, "the words");
}

void TestClient::replyClassification()
{
    QFETCH(int, error);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, readerFailure);
    QFETCH(int, kind);
    QFETCH(QString, line);
    QFETCH(QString, flags);

    ReplyFacts facts;
    facts.error = QNetworkReply::NetworkError(error);
    facts.errorString = QStringLiteral("the words");
    facts.status = status;
    facts.contentType = "text/plain";
    facts.body = body;
    facts.readerFailure = ReplyReader::Failure(readerFailure);
    const ReplyVerdict verdict = classifyReply(facts, 300);
    QCOMPARE(int(verdict.kind), kind);
    QCOMPARE(verdict.line, line);
    QCOMPARE(verdict.busy, flags == QLatin1String("busy"));
    QCOMPARE(verdict.passing, flags == QLatin1String("passing"));
}

void TestClient::retryPolicy_data()
{
    QTest::addColumn<QString>("verdict"); // "busy", "server" (a passing 5xx), "network" (passing), "final"
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<int>("tries");
    QTest::addColumn<int>("passingFailures");
    QTest::addColumn<qint64>("waitMs"); // -1: given up
    QTest::addColumn<QString>("line");

    const auto row = [](const char *name, const char *verdict, int status, const QByteArray &retryAfter, int tries,
                        int passing, qint64 waitMs, const QString &line = {}) {
        QTest::newRow(name) << QString::fromLatin1(verdict) << status << retryAfter << tries << passing << waitMs << line;
    };
    row("429 waits what it asks", "busy", 429, "3", 1, 0, 3000, "服务繁忙（HTTP 429），3 秒后重试");
    row("429 without a wait: the default", "busy", 429, "", 1, 0, 300, "服务繁忙（HTTP 429），0.3 秒后重试");
    row("429 with nonsense: the default", "busy", 429, "soon", 1, 0, 300, "服务繁忙（HTTP 429），0.3 秒后重试");
    row("429 with a negative wait: the default", "busy", 429, "-5", 1, 0, 300, "服务繁忙（HTTP 429），0.3 秒后重试");
    row("429 asking too long: the most", "busy", 429, "100000", 1, 0, 4000, "服务繁忙（HTTP 429），4 秒后重试");
    row("429 with an HTTP date two seconds on", "busy", 429, "Tue, 08 Dec 2026 10:00:02 GMT", 1, 0, 2000,
        "服务繁忙（HTTP 429），2 秒后重试");
    row("429 with an HTTP date past", "busy", 429, "Tue, 08 Dec 2026 09:00:00 GMT", 1, 0, 0, "服务繁忙（HTTP 429），0 秒后重试");
    row("429 at the fourth try", "busy", 429, "1", 4, 2, 1000, "服务繁忙（HTTP 429），1 秒后重试");
    row("429 at the fifth try: given up", "busy", 429, "1", 5, 0, -1);
    row("503, first failure", "server", 503, "", 1, 0, 50, "服务出错（HTTP 503），0.05 秒后重试");
    row("502, second failure", "server", 502, "", 2, 1, 100, "服务出错（HTTP 502），0.1 秒后重试");
    row("500, third failure: given up", "server", 500, "", 3, 2, -1);
    row("503 honours its wait", "server", 503, "3", 1, 0, 3000, "服务出错（HTTP 503），3 秒后重试");
    row("502 does not", "server", 502, "3", 1, 0, 50, "服务出错（HTTP 502），0.05 秒后重试");
    row("a lost connection", "network", 0, "", 1, 1, 100, "连接出错（the words），0.1 秒后重试");
    row("passing at the fifth try: given up", "network", 0, "", 5, 0, -1);
    row("a final failure is never tried again", "final", 400, "1", 1, 0, -1);
}

void TestClient::retryPolicy()
{
    QFETCH(QString, verdict);
    QFETCH(int, status);
    QFETCH(QByteArray, retryAfter);
    QFETCH(int, tries);
    QFETCH(int, passingFailures);
    QFETCH(qint64, waitMs);
    QFETCH(QString, line);

    ReplyVerdict given;
    given.kind = verdict == QLatin1String("network") ? UploadOutcome::Network : UploadOutcome::Refused;
    given.line = QStringLiteral("the words");
    given.busy = verdict == QLatin1String("busy");
    given.passing = verdict == QLatin1String("server") || verdict == QLatin1String("network");
    RetryWaits waits;
    waits.retryDelaysMs[0] = 50;
    waits.retryDelaysMs[1] = 100;
    waits.defaultRetryAfterMs = 300;
    waits.maxRetryAfterMs = 4000;
    const QDateTime now(QDate(2026, 12, 8), QTime(10, 0), Qt::UTC);
    const RetryStep step = nextStep(given, status, retryAfter, tries, passingFailures, waits, now);
    QCOMPARE(step.again, waitMs >= 0);
    QCOMPARE(step.waitMs, qMax<qint64>(waitMs, 0));
    QCOMPARE(step.holdsBackBatch, step.again && given.busy);
    QCOMPARE(step.line, line);
}

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
