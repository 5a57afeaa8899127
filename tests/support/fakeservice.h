#pragma once

#include <opencv2/core.hpp>

#include <QByteArray>
#include <QUrl>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}

// What the fake service saw of one upload.
struct ReceivedUpload
{
    std::string method;
    std::string path;
    std::string apiKey;
    std::string contentType;
    std::string body;
    qint64 arrivedMs = 0; // since the service started
    // The image bytes, decoded from the URL-safe Base64 after "image_file_b64=".
    QByteArray imageBytes() const;
};

// An HTTP server on 127.0.0.1 with a port of its own, run on its own thread inside the test.
// It records every request and answers through a replaceable responder; by default each
// upload gets 200 and the bytes of `defaultAnswer`.
class FakeService
{
public:
    using Responder = std::function<void(int index, const httplib::Request &, httplib::Response &)>;

    FakeService();
    ~FakeService();

    QUrl endpoint() const;
    int port() const { return boundPort; }

    void setResponder(Responder responder);
    // Answers GET .../account; without one it is answered 404.
    void setAccountResponder(std::function<void(const httplib::Request &, httplib::Response &)> responder);
    void answerWith(const QByteArray &body);
    // Holds the answer to request number `index` (0-based) until release() is called.
    void holdRequest(int index);
    void release();

    std::vector<ReceivedUpload> uploads() const;
    int uploadCount() const;
    // The most uploads that were being answered at the same moment.
    int mostAtOnce() const;
    std::vector<std::string> accountKeys() const; // the key of each account request

private:
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int boundPort = 0;

    mutable std::mutex mutex;
    std::condition_variable released;
    bool isReleased = false;
    int heldIndex = -1;
    std::vector<ReceivedUpload> received;
    Responder responder;
    std::function<void(const httplib::Request &, httplib::Response &)> accountResponder;
    std::vector<std::string> accountRequests;
    int answering = 0;
    int mostAnswering = 0;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// The fake's default answer: a PNG signature, which is all the client checks, and no image.
inline const QByteArray fakeCutout = QByteArray("\x89PNG\r\n\x1a\n", 8) + "not really a png";

// A port on 127.0.0.1 on which nothing listens.
int closedLocalPort();

// The service's transparency for a cut-out of this size: an ellipse with a soft edge.
cv::Mat serviceAlpha(cv::Size size);
// Answers like the real service: the upload decoded, reduced to a quarter, with that alpha.
void answerWithReducedCutout(int, const httplib::Request &request, httplib::Response &response);
