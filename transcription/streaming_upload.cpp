#include "transcription/streaming_upload.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

#include <nlohmann/json.hpp>

#include "transcription/http_transfer.h"

namespace transcription {
namespace {

using namespace std::chrono_literals;

// A server on this machine that cannot say within this long whether it takes a stream is treated as one
// that does not: the take is then uploaded whole once it is over, as always.
constexpr long health_timeout_ms = 2000;
// A health reply is a few dozen bytes.
constexpr std::size_t health_cap = 64 * 1024;
// How often a waiting side looks again at what the other asked: bounds how late an abandoned request or a
// stop notices it.
constexpr auto poll_step = 50ms;

std::size_t keep_health_reply(char* data, std::size_t size, std::size_t count, void* into) noexcept {
    auto& body = *static_cast<std::string*>(into);
    const std::size_t bytes = size * count;
    if (body.size() + bytes > health_cap) return 0;
    try {
        body.append(data, bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

int stop_when_true(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
    return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

bool member_true(const nlohmann::json& reply, std::string_view name) {
    const auto member = reply.find(name);
    return member != reply.end() && member->is_boolean() && member->get<bool>();
}

}  // namespace

const std::string& run_series_id() {
    // The same cryptographic source as a take's id: a series id lets a server tell one run's takes apart.
    static const std::string id = new_take_id();
    return id;
}

StreamingUpload::StreamingUpload(Endpoint endpoint, std::string file_name, bool show_live_words)
    : endpoint_(std::move(endpoint)), file_name_(std::move(file_name)), show_live_words_(show_live_words) {
    thread_ = std::thread([this] { run(); });
}

StreamingUpload::~StreamingUpload() {
    live_.stop();
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void StreamingUpload::append(const char* bytes, std::size_t count) {
    {
        std::lock_guard lock(mutex_);
        if (done_ || fallen_behind_ || ended_) return;  // nobody will send them
        if (held_.size() - held_from_ + count > held_cap) {
            fallen_behind_ = true;
            std::vector<char>().swap(held_);
            held_from_ = 0;
        } else {
            if (held_from_ > 0 && held_from_ >= held_.size() / 2) {
                held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(held_from_));
                held_from_ = 0;
            }
            held_.insert(held_.end(), bytes, bytes + count);
        }
    }
    changed_.notify_all();
}

std::size_t StreamingUpload::read_body(char* into, std::size_t most) {
    if (!take_id_.empty()) {
        // Connected, and the request's head goes out with the body's first bytes: the events can follow it.
        try {
            live_.start(endpoint_, take_id_);
        } catch (const std::system_error&) {
            // No thread for them: the take streams without live words.
        }
        take_id_.clear();
    }
    std::unique_lock lock(mutex_);
    for (;;) {
        if (abandoned_ || fallen_behind_) return CURL_READFUNC_ABORT;
        if (held_from_ < held_.size()) {
            const std::size_t count = std::min(most, held_.size() - held_from_);
            std::memcpy(into, held_.data() + held_from_, count);
            held_from_ += count;
            return count;
        }
        if (ended_) {
            body_ended_ = true;
            return 0;
        }
        changed_.wait_for(lock, poll_step);
    }
}

bool StreamingUpload::server_streams(bool& offers_live_words, bool& series) {
    offers_live_words = false;
    series = false;
    const transcription_detail::Transfer transfer(endpoint_, health_url_of(endpoint_.url));
    CURL* handle = transfer.handle();
    if (handle == nullptr) return false;
    std::string body;
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, health_timeout_ms);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, keep_health_reply);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, stop_when_true);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &abandoned_);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    const CURLcode result = curl_easy_perform(handle);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK || status != 200) return false;
    const auto reply = nlohmann::json::parse(body, nullptr, false);
    if (!reply.is_object()) return false;
    if (!member_true(reply, streaming_member)) return false;
    offers_live_words = member_true(reply, live_words_member);
    series = member_true(reply, series_member);
    return true;
}

void StreamingUpload::run() {
    std::optional<ExchangeOutcome> outcome;
    try {
        bool offers_live_words = false;
        bool series = false;
        if (server_streams(offers_live_words, series)) {
            if (!abandoned_) {
                ExchangeWatch watch;
                watch.stop_requested = [this] {
                    std::lock_guard lock(mutex_);
                    return abandoned_ || fallen_behind_ || stop_asked_;
                };
                watch.still_waiting = [this](std::int64_t received) {
                    std::lock_guard lock(mutex_);
                    still_waiting_.push_back(received);
                    changed_.notify_all();
                };
                watch.trace = [this](std::string_view line) {
                    std::lock_guard lock(mutex_);
                    trace_.emplace_back(line);
                };
                transcription_detail::AudioPart part;
                part.file_name = file_name_;
                part.read = [](char* into, std::size_t size, std::size_t count, void* self) noexcept {
                    return static_cast<StreamingUpload*>(self)->read_body(into, size * count);
                };
                part.read_data = this;
                if (offers_live_words && show_live_words_) {
                    take_id_ = new_take_id();
                    if (!take_id_.empty())
                        part.headers.push_back(std::string(take_id_header) + ": " + take_id_);
                }
                if (series && !run_series_id().empty())
                    part.headers.push_back(std::string(series_header) + ": " + run_series_id());
                sending_ = true;
                outcome = transcription_detail::perform_post(endpoint_, part, watch, [this](long status) {
                    // An answer that comes before the body's end is not the take's text: the request ends
                    // here, so the server hears no more of it and the file goes instead.
                    std::lock_guard lock(mutex_);
                    if (body_ended_) return true;
                    answered_early_ = status >= 200 && status < 300;
                    return false;
                });
            }
        }
    } catch (...) {
        outcome.reset();  // out of memory: the finished file is uploaded instead
    }
    live_.stop();  // a request that is over has no more words to show
    {
        std::lock_guard lock(mutex_);
        outcome_ = std::move(outcome);
        done_ = true;
        sending_ = false;
        std::vector<char>().swap(held_);
        held_from_ = 0;
    }
    changed_.notify_all();
}

void StreamingUpload::relay(const ExchangeWatch& watch, std::unique_lock<std::mutex>& lock) {
    std::vector<std::string> lines;
    std::vector<std::int64_t> notices;
    lines.swap(trace_);
    notices.swap(still_waiting_);
    lock.unlock();
    if (watch.trace)
        for (const auto& line : lines) watch.trace(line);
    if (watch.still_waiting)
        for (const auto received : notices) watch.still_waiting(received);
    lock.lock();
}

bool StreamingUpload::answered_early() const {
    std::lock_guard lock(mutex_);
    return answered_early_;
}

std::optional<ExchangeOutcome> StreamingUpload::finish(const ExchangeWatch& watch) {
    live_.stop();  // the take is over: its words are no longer shown, and its text is the reply's
    std::unique_lock lock(mutex_);
    ended_ = true;
    changed_.notify_all();
    while (!done_) {
        relay(watch, lock);
        if (done_) break;
        if (!stop_asked_ && watch.stop_requested) {
            lock.unlock();
            const bool stop = watch.stop_requested();
            lock.lock();
            stop_asked_ = stop;
        }
        changed_.wait_for(lock, poll_step);
    }
    relay(watch, lock);
    std::optional<ExchangeOutcome> outcome = std::move(outcome_);
    const bool stop_asked = stop_asked_;
    lock.unlock();
    if (!outcome) return std::nullopt;
    if (outcome->ending == Ending::stopped && stop_asked) return outcome;
    if (outcome->ending == Ending::answered && outcome->status >= 200 && outcome->status < 300)
        return outcome;
    return std::nullopt;
}

}  // namespace transcription
