#include "fakeservice.h"

#include "testimages.h"

#include <QTcpServer>

#include <httplib.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <chrono>

QByteArray ReceivedUpload::imageBytes() const
{
    const std::string marker = "image_file_b64=";
    const auto at = body.find(marker);
    if (at == std::string::npos)
        return {};
    const QByteArray encoded = QByteArray::fromStdString(body.substr(at + marker.size()));
    return QByteArray::fromBase64(encoded, QByteArray::Base64UrlEncoding);
}

FakeService::FakeService()
    : server(std::make_unique<httplib::Server>())
{
    answerWith(fakeCutout);
    // Read through a content reader: the library caps form-encoded bodies it parses itself.
    server->Post(".*", [this](const httplib::Request &header, httplib::Response &response,
                              const httplib::ContentReader &readContent) {
        httplib::Request request = header;
        readContent([&request](const char *data, size_t length) {
            request.body.append(data, length);
            return true;
        });
        Responder answer;
        int index = 0;
        {
            std::unique_lock<std::mutex> lock(mutex);
            index = int(received.size());
            const auto arrived = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
            received.push_back({request.method, request.path, request.get_header_value("X-Api-Key"),
                                request.get_header_value("Content-Type"), request.body, arrived.count()});
            answer = responder;
            mostAnswering = std::max(mostAnswering, ++answering);
            if (index == heldIndex)
                released.wait(lock, [this] { return isReleased; });
        }
        answer(index, request, response);
        std::lock_guard<std::mutex> lock(mutex);
        --answering;
    });
    server->Get(".*/account", [this](const httplib::Request &request, httplib::Response &response) {
        std::function<void(const httplib::Request &, httplib::Response &)> answer;
        {
            std::lock_guard<std::mutex> lock(mutex);
            accountRequests.push_back(request.get_header_value("X-Api-Key"));
            answer = accountResponder;
        }
        if (answer)
            answer(request, response);
        else
            response.status = 404;
    });
    boundPort = server->bind_to_any_port("127.0.0.1");
    auto listenReturned = std::make_shared<std::atomic<bool>>(false);
    thread = std::thread([this, listenReturned] {
        server->listen_after_bind();
        *listenReturned = true;
    });
    // A stop() before the loop has begun would be lost, and join() would never return.
    while (!server->is_running() && !*listenReturned)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeService::~FakeService()
{
    release();
    server->stop();
    thread.join();
}

QUrl FakeService::endpoint() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/v1.0/removebg").arg(boundPort));
}

void FakeService::setResponder(Responder newResponder)
{
    std::lock_guard<std::mutex> lock(mutex);
    responder = std::move(newResponder);
}

void FakeService::answerWith(const QByteArray &body)
{
    const std::string bytes = body.toStdString();
    setResponder([bytes](int, const httplib::Request &, httplib::Response &response) {
        response.status = 200;
        response.set_content(bytes, "image/png");
    });
}

void FakeService::holdRequest(int index)
{
    std::lock_guard<std::mutex> lock(mutex);
    heldIndex = index;
    isReleased = false;
}

void FakeService::release()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        isReleased = true;
    }
    released.notify_all();
}

std::vector<ReceivedUpload> FakeService::uploads() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

void FakeService::setAccountResponder(std::function<void(const httplib::Request &, httplib::Response &)> responder)
{
    std::lock_guard<std::mutex> lock(mutex);
    accountResponder = std::move(responder);
}

int FakeService::mostAtOnce() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return mostAnswering;
}

std::vector<std::string> FakeService::accountKeys() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return accountRequests;
}

int FakeService::uploadCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return int(received.size());
}

int closedLocalPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    return port;
}

cv::Mat serviceAlpha(cv::Size size)
{
    cv::Mat alpha(size, CV_8U, cv::Scalar(0));
    cv::ellipse(alpha, {size.width / 2, size.height / 2}, {size.width / 3, size.height / 3}, 0, 0, 360,
                cv::Scalar(255), cv::FILLED);
    cv::GaussianBlur(alpha, alpha, {5, 5}, 0);
    return alpha;
}

void answerWithReducedCutout(int, const httplib::Request &request, httplib::Response &response)
{
    ReceivedUpload upload;
    upload.body = request.body;
    const QByteArray image = upload.imageBytes();
    const cv::Mat photo = cv::imdecode(cv::Mat(1, image.size(), CV_8U, const_cast<char *>(image.constData())),
                                       cv::IMREAD_COLOR);
    if (photo.empty()) {
        response.status = 400;
        return;
    }
    cv::Mat small;
    cv::resize(photo, small, {photo.cols / 4, photo.rows / 4}, 0, 0, cv::INTER_AREA);
    const cv::Mat planes[] = {small, serviceAlpha(small.size())};
    cv::Mat cutout;
    cv::merge(planes, 2, cutout);
    const QByteArray png = encode(cutout, ".png");
    response.set_content(png.toStdString(), "image/png");
}
