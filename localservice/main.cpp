// quorrin-localservice: an offline stand-in for the cloud background-removal service, so
// that Quorrin can be tried and tested with no account and no network.

#include "removal.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace {

struct Options
{
    std::string host = "127.0.0.1";
    int port = 8711;
    int delayMs = 0;
    int ratePerMinute = 0;
    int credits = -1;
    localservice::Settings settings;
};

void printUsage()
{
    std::printf(
        "Usage: quorrin-localservice [options]\n"
        "Answers POST /v1.0/removebg like the cloud background-removal service.\n\n"
        "  --host H            address to listen on (default 127.0.0.1)\n"
        "  --port P            port to listen on (default 8711; 0 picks a free one)\n"
        "  --delay-ms N        wait N ms before each answer, as a distant service would\n"
        "  --fail-every N      answer every Nth request with the status of --fail-status\n"
        "  --fail-status S     the status of those failures (default 500); 429 and 503 say Retry-After: 1\n"
        "  --key K             accept only this API key (default: any non-empty key)\n"
        "  --quick             a fixed ellipse for the subject instead of GrabCut: times the client alone\n"
        "  --rate-limit N      at most N cut-outs a minute; beyond that 429 with Retry-After\n"
        "  --credits N         keep a balance of N cut-outs, shown by GET /v1.0/account;\n"
        "                      402 once it is spent (default: no balance, and no account)\n");
}

bool parseNumber(const char *text, int &value)
{
    char *end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (!end || *end != '\0' || parsed < 0 || parsed > 1000000000)
        return false;
    value = int(parsed);
    return true;
}

bool parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            printUsage();
            std::exit(0);
        }
        if (name == "--quick") {
            options.settings.quick = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "quorrin-localservice: %s needs a value\n", name.c_str());
            return false;
        }
        const char *value = argv[++i];
        bool ok = true;
        if (name == "--host")
            options.host = value;
        else if (name == "--port")
            ok = parseNumber(value, options.port) && options.port <= 65535;
        else if (name == "--delay-ms")
            ok = parseNumber(value, options.delayMs);
        else if (name == "--fail-every")
            ok = parseNumber(value, options.settings.failEvery);
        else if (name == "--fail-status")
            ok = parseNumber(value, options.settings.failStatus) && options.settings.failStatus >= 100
                 && options.settings.failStatus <= 599;
        else if (name == "--rate-limit")
            ok = parseNumber(value, options.ratePerMinute);
        else if (name == "--credits")
            ok = parseNumber(value, options.credits);
        else if (name == "--key")
            options.settings.requiredKey = value;
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "quorrin-localservice: bad option %s %s\n", name.c_str(), value);
            return false;
        }
    }
    return true;
}

std::string timeOfDay()
{
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&now));
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        printUsage();
        return 2;
    }

    httplib::Server server;
    std::atomic<long> requestCount{0};
    std::mutex logMutex;
    localservice::Allowance allowance(options.credits, options.ratePerMinute);
    const auto reply = [](const localservice::Answer &answer, httplib::Response &response) {
        response.status = answer.status;
        response.set_content(answer.body, answer.contentType.c_str());
        if (answer.retryAfterSeconds > 0)
            response.set_header("Retry-After", std::to_string(answer.retryAfterSeconds));
    };

    server.Get("/v1.0/account", [&](const httplib::Request &request, httplib::Response &response) {
        reply(allowance.account(options.settings, request.get_header_value("X-Api-Key")), response);
    });

    // The body is read here rather than by the library, which caps form-encoded bodies
    // it parses itself far below a photo's size.
    server.Post("/v1.0/removebg", [&](const httplib::Request &request, httplib::Response &response,
                                      const httplib::ContentReader &readContent) {
        const auto start = std::chrono::steady_clock::now();
        const long index = ++requestCount;
        std::string body;
        std::size_t received = 0;
        const auto keep = [&](const char *data, std::size_t length) {
            received += length;
            if (received <= localservice::maxBodyBytes)
                body.append(data, length);
            return true;
        };
        // A multipart body must be read with the library's multipart reader; it is read
        // and dropped, since the service takes form-encoded uploads only.
        const bool multipart = request.is_multipart_form_data();
        if (multipart)
            readContent([](const httplib::MultipartFormData &) { return true; },
                        [&](const char *, std::size_t length) {
                            received += length;
                            return true;
                        });
        else
            readContent(keep);

        const std::optional<localservice::Answer> refusal = allowance.take(std::chrono::steady_clock::now());
        const localservice::Answer answer =
            multipart ? localservice::errorAnswer(400, "Unexpected body: send the image form-encoded, not multipart")
            : received > localservice::maxBodyBytes
                ? localservice::bodyTooLarge()
            : refusal ? *refusal
                      : localservice::answerUpload(options.settings, index, request.get_header_value("X-Api-Key"), body);
        if (!refusal && answer.status != 200)
            allowance.giveBack(); // only a cut-out is paid for
        if (options.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options.delayMs));
        reply(answer, response);

        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::lock_guard<std::mutex> lock(logMutex);
        std::printf("%s %d in=%zu out=%zu %lldms\n", timeOfDay().c_str(), answer.status, received,
                    answer.body.size(), static_cast<long long>(ms.count()));
        std::fflush(stdout);
    });
    server.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        if (response.body.empty()) {
            const localservice::Answer answer = localservice::errorAnswer(
                response.status, response.status == 404 ? "Not found: use POST /v1.0/removebg" : "Request refused");
            response.set_content(answer.body, answer.contentType.c_str());
        }
    });

    // Whatever escapes a handler answers 500 JSON, and no header tells what was thrown.
    server.set_exception_handler([&reply](const httplib::Request &, httplib::Response &response, std::exception_ptr) {
        reply(localservice::errorAnswer(500, "The request could not be processed"), response);
    });

    const int port = options.port == 0 ? server.bind_to_any_port(options.host)
                                       : (server.bind_to_port(options.host, options.port) ? options.port : -1);
    if (port <= 0) {
        std::fprintf(stderr, "quorrin-localservice: cannot listen on %s:%d\n", options.host.c_str(), options.port);
        return 1;
    }
    std::printf("quorrin-localservice listening on http://%s:%d/v1.0/removebg\n", options.host.c_str(), port);
    std::fflush(stdout);
    return server.listen_after_bind() ? 0 : 1;
}
