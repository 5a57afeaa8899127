#include "removal.h"

#include "imageformat.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace localservice {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+' || c == '-')
        return 62;
    if (c == '/' || c == '_')
        return 63;
    return -1;
}

std::string jsonEscaped(const std::string &text)
{
    std::string escaped;
    for (char c : text) {
        if (c == '"' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// The largest size at most `limit` pixels in area with the same aspect ratio, never larger.
cv::Size previewSize(cv::Size size, double limit)
{
    const double area = double(size.width) * size.height;
    if (area <= limit)
        return size;
    const double scale = std::sqrt(limit / area);
    return {std::max(1, int(size.width * scale)), std::max(1, int(size.height * scale))};
}

// Foreground mask of the picture: GrabCut from a centred rectangle with a 5 % margin,
// softened at the edge.
cv::Mat subjectMask(const cv::Mat &picture)
{
    const int marginX = std::max(1, picture.cols / 20);
    const int marginY = std::max(1, picture.rows / 20);
    const cv::Rect subject(marginX, marginY, picture.cols - 2 * marginX, picture.rows - 2 * marginY);
    cv::Mat mask(picture.size(), CV_8U, cv::Scalar(cv::GC_BGD));
    if (subject.width < 2 || subject.height < 2)
        return cv::Mat(picture.size(), CV_8U, cv::Scalar(0));
    cv::Mat backgroundModel, foregroundModel;
    cv::grabCut(picture, mask, subject, backgroundModel, foregroundModel, 3, cv::GC_INIT_WITH_RECT);
    cv::Mat alpha = (mask == cv::GC_FGD) | (mask == cv::GC_PR_FGD);
    cv::GaussianBlur(alpha, alpha, {0, 0}, 1.2);
    return alpha;
}

// At most one decode-and-cut per core: the others wait, so concurrent uploads cannot add up.
class CoreGate
{
public:
    CoreGate() : free(int(std::max(1u, std::thread::hardware_concurrency()))) {}
    void enter()
    {
        std::unique_lock<std::mutex> lock(mutex);
        opened.wait(lock, [this] { return free > 0; });
        --free;
    }
    void leave()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++free;
        }
        opened.notify_one();
    }

private:
    std::mutex mutex;
    std::condition_variable opened;
    int free;
};

CoreGate &coreGate()
{
    static CoreGate gate;
    return gate;
}

Answer decodeAndCut(const std::string &imageBytes, bool fullSize, bool quick)
{
    const auto *data = reinterpret_cast<const unsigned char *>(imageBytes.data());
    const imageformat::Header header = imageformat::probe(data, imageBytes.size());
    // The service takes no HEIF, and neither does its stand-in.
    if (header.format == imageformat::Format::Unknown || header.format == imageformat::Format::Heif)
        return errorAnswer(400, "Unknown image format: send a JPEG, PNG, WebP, TIFF or BMP");
    if (!header.acceptable())
        return errorAnswer(400, "Image too large or malformed: at most 250 megapixels");
    coreGate().enter();
    Answer answer;
    try {
        const cv::Mat photo = imageformat::decode(data, imageBytes.size(), cv::IMREAD_COLOR); // upright by EXIF
        answer = photo.empty() ? errorAnswer(400, "Unknown image format: the image could not be decoded")
                               : cutOut(photo, fullSize, quick);
    } catch (...) {
        answer = errorAnswer(500, "The image could not be processed");
    }
    coreGate().leave();
    return answer;
}

} // namespace

std::optional<std::string> percentDecode(const std::string &text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        decoded += char(high * 16 + low);
        i += 2;
    }
    return decoded;
}

std::optional<std::string> formField(const std::string &body, const std::string &name)
{
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::size_t equals = body.find('=', start);
        if (equals != std::string::npos && equals < end && body.compare(start, equals - start, name) == 0
            && equals - start == name.size())
            return percentDecode(body.substr(equals + 1, end - equals - 1));
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> decodeBase64(const std::string &text)
{
    std::string decoded;
    decoded.reserve(text.size() / 4 * 3 + 3);
    unsigned buffer = 0;
    int bits = 0;
    std::size_t padding = 0;
    std::size_t symbols = 0;
    for (char c : text) {
        if (c == '=') {
            ++padding;
            continue;
        }
        if (c == '\r' || c == '\n')
            continue;
        const int value = base64Value(c);
        if (value < 0 || padding > 0)
            return std::nullopt; // a foreign character, or data after the padding
        buffer = (buffer << 6) | unsigned(value);
        bits += 6;
        ++symbols;
        if (bits >= 8) {
            bits -= 8;
            decoded += char((buffer >> bits) & 0xff);
        }
    }
    if (symbols % 4 == 1 || padding > 2 || (padding > 0 && (symbols + padding) % 4 != 0))
        return std::nullopt;
    return decoded;
}

Answer errorAnswer(int status, const std::string &title)
{
    return {status, "application/json", "{\"errors\":[{\"title\":\"" + jsonEscaped(title) + "\"}]}"};
}

Answer bodyTooLarge()
{
    return errorAnswer(413, "File too large: the request body is over 50 MB");
}

Answer answerUpload(const Settings &settings, long index, const std::string &apiKey, const std::string &body)
{
    if (settings.failEvery > 0 && index % settings.failEvery == 0) {
        Answer failure = errorAnswer(settings.failStatus, "Failure injected on request " + std::to_string(index));
        failure.retryAfterSeconds = settings.failStatus == 429 || settings.failStatus == 503 ? 1 : 0;
        return failure;
    }
    if (body.size() > maxBodyBytes)
        return bodyTooLarge();
    if (apiKey.empty())
        return errorAnswer(403, "Missing API key: send it in the X-Api-Key header");
    if (!settings.requiredKey.empty() && apiKey != settings.requiredKey)
        return errorAnswer(403, "Invalid API key");

    const std::string size = formField(body, "size").value_or("auto");
    if (size != "auto" && size != "preview" && size != "full")
        return errorAnswer(400, "Unsupported size: use auto, preview or full");
    const std::optional<std::string> encoded = formField(body, "image_file_b64");
    if (!encoded || encoded->empty())
        return errorAnswer(400, "No image given: the field image_file_b64 is missing or empty");
    const std::optional<std::string> imageBytes = decodeBase64(*encoded);
    if (!imageBytes)
        return errorAnswer(400, "Invalid Base64 in image_file_b64");

    return decodeAndCut(*imageBytes, size == "full", settings.quick);
}

Answer cutOut(const cv::Mat &photo, bool fullSize, bool quick)
{
    // The answer is at most 0.25 megapixels unless the full size is asked for; the subject
    // is found on a smaller copy still, since GrabCut's time grows with the pixel count.
    cv::Mat colour = photo;
    if (!fullSize)
        cv::resize(photo, colour, previewSize(photo.size(), 250000), 0, 0, cv::INTER_AREA);
    cv::Mat alpha(colour.size(), CV_8U, cv::Scalar(0));
    if (quick) {
        cv::ellipse(alpha, {colour.cols / 2, colour.rows / 2}, {colour.cols / 3, colour.rows / 3}, 0, 0, 360, cv::Scalar(255),
                    cv::FILLED);
    } else {
        cv::Mat segmented;
        cv::resize(colour, segmented, previewSize(colour.size(), 120000), 0, 0, cv::INTER_AREA);
        alpha = subjectMask(segmented);
    }
    if (alpha.size() != colour.size())
        cv::resize(alpha, alpha, colour.size(), 0, 0, cv::INTER_LINEAR);
    cv::Mat cutout;
    const cv::Mat planes[] = {colour, alpha};
    cv::merge(planes, 2, cutout);
    std::vector<uchar> png;
    cv::imencode(".png", cutout, png);
    return {200, "image/png", std::string(png.begin(), png.end())};
}

Allowance::Allowance(long credits, int perMinute)
    : credits(credits)
    , perMinute(perMinute)
{
}

std::optional<Answer> Allowance::take(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (credits == 0)
        return errorAnswer(402, "Insufficient credits: none are left on this key");
    if (perMinute > 0) {
        while (!recent.empty() && now - recent.front() >= std::chrono::minutes(1))
            recent.pop_front();
        if (int(recent.size()) >= perMinute) {
            Answer refusal = errorAnswer(429, "Rate limit exceeded: at most " + std::to_string(perMinute) + " a minute");
            const auto wait = std::chrono::ceil<std::chrono::seconds>(recent.front() + std::chrono::minutes(1) - now);
            refusal.retryAfterSeconds = std::max(1, int(wait.count()));
            return refusal;
        }
        recent.push_back(now);
    }
    if (credits > 0)
        --credits;
    return std::nullopt;
}

void Allowance::giveBack()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (perMinute > 0 && !recent.empty())
        recent.pop_back();
    if (credits >= 0)
        ++credits;
}

Answer Allowance::account(const Settings &settings, const std::string &apiKey) const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (credits < 0)
        return errorAnswer(404, "Not found: this stand-in keeps no balance (start it with --credits N)");
    if (apiKey.empty())
        return errorAnswer(403, "Missing API key: send it in the X-Api-Key header");
    if (!settings.requiredKey.empty() && apiKey != settings.requiredKey)
        return errorAnswer(403, "Invalid API key");
    if (credits == 0)
        return errorAnswer(402, "Insufficient credits: none are left on this key");
    return {200, "application/json",
            R"({"data":{"attributes":{"credits":{"total":)" + std::to_string(credits) + "}}}}", 0};
}

} // namespace localservice
