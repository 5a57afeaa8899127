#pragma once

#include <opencv2/core.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

// What the local stand-in for the cloud background-removal service does with one upload,
// apart from the network: parsing, checking, cutting out, and the error answers.
namespace localservice {

constexpr std::size_t maxBodyBytes = 50u * 1024u * 1024u;

struct Settings
{
    std::string requiredKey; // empty: any non-empty key is accepted
    int failEvery = 0;       // 0: never fail on purpose
    int failStatus = 500;
    bool quick = false; // a fixed ellipse for the subject instead of GrabCut, to time the client alone
};

struct Answer
{
    int status = 200;
    std::string contentType;
    std::string body;
    int retryAfterSeconds = 0; // sent as Retry-After when above 0
};

// Percent-decodes one form value; '+' is left as it is, since standard Base64 uses it.
std::optional<std::string> percentDecode(const std::string &text);
// The value of one field of a form-encoded body, percent-decoded.
std::optional<std::string> formField(const std::string &body, const std::string &name);
// Decodes Base64 in the standard or the URL-safe alphabet, padded or not.
std::optional<std::string> decodeBase64(const std::string &text);

Answer errorAnswer(int status, const std::string &title);
// The answer to a body over maxBodyBytes.
Answer bodyTooLarge();

// The cut-out of a decoded photo: at most 0.25 megapixels unless `fullSize`, as a PNG.
Answer cutOut(const cv::Mat &photo, bool fullSize, bool quick = false);

// Answers upload number `index` (1-based) with the key it carried and its whole body.
Answer answerUpload(const Settings &settings, long index, const std::string &apiKey, const std::string &body);

// What the stand-in lets a user spend, shared by every request: a balance, when one is
// kept, and at most so many cut-outs a minute.
class Allowance
{
public:
    using Clock = std::chrono::steady_clock;
    Allowance(long credits, int perMinute); // credits < 0: no balance kept; perMinute 0: no limit

    // Takes one cut-out's worth before the work starts; the refusal when none may be made.
    std::optional<Answer> take(Clock::time_point now);
    // Gives back what take() took, when the upload made no cut-out.
    void giveBack();
    // The answer to GET .../account: the balance, or 404 when none is kept.
    Answer account(const Settings &settings, const std::string &apiKey) const;

private:
    mutable std::mutex mutex;
    long credits;
    int perMinute;
    std::deque<Clock::time_point> recent; // the cut-outs of the last minute
};

} // namespace localservice
