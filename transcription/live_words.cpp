#include "transcription/live_words.h"

#include <curl/curl.h>

#include <cctype>

#include "platform/random_bytes.h"
#include "transcription/exchange_outcome.h"
#include "transcription/http_transfer.h"

namespace transcription {
namespace {

// How long the events thread waits on the connection before it looks again whether it should stop: bounds
// how long the end of a take can wait for it.
constexpr int poll_ms = 50;
constexpr std::string_view event_stream_type = "text/event-stream";

// What the transfer's callbacks share.
struct Reading {
    WordsEventReader reader;
    std::mutex& mutex;
    std::string& text;
    std::uint64_t& texts_read;
    CURL* handle = nullptr;
    std::size_t header_bytes = 0;
};

// Ends the transfer unless the reply proper is a 200 event stream: anything else (a 404 of a take the
// server does not know, an error page, a server that answers every path) has no words in it.
std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto& reading = *static_cast<Reading*>(user);
    const std::size_t bytes = size * count;
    reading.header_bytes += bytes;
    if (reading.header_bytes > header_cap) return 0;
    const bool head_ends =
        (bytes == 2 && data[0] == '\r' && data[1] == '\n') || (bytes == 1 && data[0] == '\n');
    if (!head_ends) return bytes;
    long status = 0;
    curl_easy_getinfo(reading.handle, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200) return bytes;  // an interim reply; the real one follows
    const char* type = nullptr;
    curl_easy_getinfo(reading.handle, CURLINFO_CONTENT_TYPE, &type);
    if (status != 200 || type == nullptr) return 0;
    const std::string_view given(type);
    if (given.size() < event_stream_type.size()) return 0;
    for (std::size_t i = 0; i < event_stream_type.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(given[i])) != event_stream_type[i]) return 0;
    return bytes;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto& reading = *static_cast<Reading*>(user);
    const std::size_t bytes = size * count;
    try {
        const std::uint64_t before = reading.reader.texts_read();
        const auto state = reading.reader.feed(std::string_view(data, bytes));
        if (reading.reader.texts_read() != before) {
            std::lock_guard lock(reading.mutex);
            reading.text = reading.reader.text();
            reading.texts_read = reading.reader.texts_read();
        }
        return state == WordsEventReader::State::reading ? bytes : 0;
    } catch (...) {
        return 0;  // out of memory: the live words end, the take goes on
    }
}

}  // namespace

std::string new_take_id() {
    unsigned char bytes[16];
    if (!random_bytes(bytes, sizeof bytes)) return {};
    static constexpr char digits[] = "0123456789abcdef";
    std::string id;
    for (const unsigned char byte : bytes) {
        id += digits[byte >> 4];
        id += digits[byte & 0xf];
    }
    return id;
}

std::string events_url_of(const std::string& url, const std::string& take_id) {
    std::string events = health_url_of(url);
    const std::size_t path = events.rfind("/health");
    if (path == std::string::npos) return events;  // an address that can't be read: the request fails
    return events.substr(0, path) + "/transcribe/events/" + take_id;
}

LiveWords::~LiveWords() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void LiveWords::start(const Endpoint& endpoint, const std::string& take_id) {
    thread_ =
        std::thread([this, endpoint, url = events_url_of(endpoint.url, take_id)] { run(endpoint, url); });
}

std::optional<std::string> LiveWords::latest(std::uint64_t& seen) const {
    std::lock_guard lock(mutex_);
    if (texts_read_ == seen) return std::nullopt;
    seen = texts_read_;
    return text_;
}

void LiveWords::run(const Endpoint& endpoint, const std::string& url) {
    try {
        transcription_detail::Transfer transfer(endpoint, url);
        CURL* handle = transfer.handle();
        if (handle == nullptr) return;
        Reading reading{WordsEventReader(), mutex_, text_, texts_read_, handle};
        transfer.add_header("Accept: text/event-stream");
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, on_header);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, &reading);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, on_body);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reading);
        // Driven here rather than by curl_easy_perform, whose only way to be stopped from outside is a
        // callback the library calls about once a second while the stream is quiet.
        CURLM* multi = curl_multi_init();
        if (multi == nullptr) return;
        if (curl_multi_add_handle(multi, handle) == CURLM_OK) {
            int running = 1;
            while (running > 0 && !stop_) {
                if (curl_multi_perform(multi, &running) != CURLM_OK || running == 0) break;
                if (curl_multi_poll(multi, nullptr, 0, poll_ms, nullptr) != CURLM_OK) break;
            }
            curl_multi_remove_handle(multi, handle);
        }
        curl_multi_cleanup(multi);
    } catch (...) {
        // Out of memory: the live words end there, as they would for any other failure.
    }
    over_ = true;
}

}  // namespace transcription
