#include "server/requests/request_handler.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <stdexcept>
#include <variant>

#include "server/recognition/resampler.h"
#include "server/recognition/wav_reader.h"

namespace server {
namespace {

// Upload bytes and error texts come from the client; never let invalid UTF-8 turn into an exception.
std::string dump(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Reply error(int status, std::string_view message) { return Reply{status, dump({{"error", message}})}; }

constexpr std::string_view not_form_data =
    "expected multipart/form-data (with a boundary) holding the WAV file in a part named \"audio\"";

bool is_http_method(std::string_view method) {
    for (std::string_view known :
         {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"}) {
        if (method == known) return true;
    }
    return false;
}

constexpr std::size_t max_target = 8 * 1024;

// Followed by a take's id: where the words of a streamed take are read while it is decoded.
constexpr std::string_view events_prefix = "/transcribe/events/";

// Room in the spool's file system promised at a time to an upload whose length is not known.
constexpr std::uint64_t streamed_reserve_step = 4ull << 20;

bool is_chunked(const Headers& headers) {
    const std::string* coding = find_header(headers, "Transfer-Encoding");
    if (coding == nullptr) return false;
    std::string value = *coding;
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return value == "chunked";
}

std::string over_limit(std::uint64_t bytes, std::uint64_t limit) {
    return "upload of " + std::to_string(bytes) + " bytes is over the limit of " + std::to_string(limit) +
           " bytes";
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point began) {
    return std::chrono::duration<double>(Clock::now() - began).count();
}

}  // namespace

Reply error_reply(int status, std::string_view message) { return error(status, message); }

std::string error_of(const Reply& reply) {
    const auto body = nlohmann::json::parse(reply.json, nullptr, false);
    if (!body.is_object() || !body.contains("error") || !body["error"].is_string()) return "";
    return body["error"].get<std::string>();
}

Reply transcribe_wav(std::string_view wav, SpeechToText& engine, const ConsumedBytes& consumed) {
    const auto decoded = decode_wav(wav);
    if (const auto* bad = std::get_if<WavError>(&decoded)) return error(bad->status, bad->message);
    const WavAudio& audio = std::get<WavAudio>(decoded);
    const auto started = Clock::now();
    Reply reply;
    try {
        const Transcript heard = engine.transcribe(RecognizerInput(audio, consumed));
        reply = Reply{200, dump({{"text", heard.words}, {"duration", audio.seconds()}})};
        reply.queue_seconds = heard.queue_seconds;
    } catch (const EngineUnavailable& failure) {
        reply = error(503, failure.what());
    } catch (const std::exception& failure) {
        reply = error(500, std::string("transcription failed: ") + failure.what());
    }
    reply.audio_seconds = audio.seconds();
    reply.decode_seconds = seconds_since(started) - reply.queue_seconds;
    return reply;
}

// The reply to a streamed upload decoded while it arrived; `waited` is the time from its body's end.
static Reply live_reply(LiveOutcome outcome, double waited) {
    Reply reply;
    try {
        if (outcome.failure) std::rethrow_exception(outcome.failure);
        reply = Reply{200, dump({{"text", outcome.heard.words}, {"duration", outcome.audio_seconds}})};
    } catch (const EngineUnavailable& failure) {
        reply = error(503, failure.what());
    } catch (const std::exception& failure) {
        reply = error(500, std::string("transcription failed: ") + failure.what());
    }
    reply.audio_seconds = outcome.audio_seconds;
    // What the client waits for once its body is complete; a wait for a decoder was spent while it arrived.
    reply.decode_seconds = waited;
    return reply;
}

std::optional<Reply> screen_content_length(const Headers& headers) {
    const BodyLength length = body_length(headers);
    if (length.kind == BodyLength::Kind::malformed) {
        return error(400, "Content-Length is not one number: " + length.text);
    }
    return std::nullopt;
}

std::optional<Reply> screen_request(std::string_view method, std::string_view path, const Headers& headers,
                                    std::uint64_t max_upload_bytes) {
    if (!is_http_method(method)) return error(400, "not an HTTP method: " + std::string(method));
    if (path.size() > max_target) return error(414, "request target over 8 KiB");
    if (auto refused = screen_content_length(headers)) return refused;
    const BodyLength length = body_length(headers);
    if (path == "/health") {
        if (method == "GET" || method == "HEAD") return std::nullopt;
        return error(405, "/health accepts GET and HEAD only");
    }
    if (path.starts_with(events_prefix)) {
        if (method != "GET") return error(405, "/transcribe/events/ accepts GET only");
        if (!LiveWords::valid_id(path.substr(events_prefix.size()))) {
            return error(400, "a take id is 32 lowercase hexadecimal digits");
        }
        return std::nullopt;
    }
    if (path != "/transcribe") return error(404, "no such path: " + std::string(path));
    if (method != "POST") return error(405, "/transcribe accepts POST only");

    if (find_header(headers, "Transfer-Encoding") != nullptr) {
        if (find_header(headers, "Content-Length") != nullptr) {
            return error(400, "an upload with both Transfer-Encoding and Content-Length is ambiguous");
        }
        if (!is_chunked(headers)) {
            return error(411,
                         "only chunked uploads are streamed: send the upload chunked or with a "
                         "Content-Length header");
        }
    } else if (length.kind == BodyLength::Kind::absent) {
        return error(411, "uploads need a Content-Length header or a chunked body");
    }
    if (length.kind != BodyLength::Kind::absent && length.bytes > max_upload_bytes) {
        return error(413, over_limit(length.bytes, max_upload_bytes));
    }
    // Without a boundary the body can't be split into parts; refusing now spares reading it.
    const std::string* type = find_header(headers, "Content-Type");
    if (type == nullptr || !form_data_boundary(*type)) return error(400, not_form_data);
    return std::nullopt;
}

Request::Request(std::string method, std::string path, Headers headers, std::uint64_t max_upload_bytes)
    : method_(std::move(method)),
      path_(std::move(path)),
      headers_(std::move(headers)),
      max_upload_bytes_(max_upload_bytes) {}

std::optional<Reply> Request::start() {
    if (auto refused = screen_request(method_, path_, headers_, max_upload_bytes_)) return refused;
    // Clients look for "streaming" to know that a chunked upload is decoded while it arrives, and for
    // "take_series" to know that naming a run's takes (series_header) lets its later takes be decoded
    // sooner, and for "live_words" to know that its words can be read as they come.
    const bool live_words = live_engine_ != nullptr && live_words_ != nullptr;
    if (path_ == "/health") {
        const bool live = live_engine_ != nullptr;
        return Reply{
            200,
            dump({{"status", "ok"}, {"streaming", live}, {"take_series", live}, {"live_words", live_words}})};
    }
    if (path_.starts_with(events_prefix)) {
        if (!live_words) return error(404, "this server does not offer live words (it does not stream)");
        events_take_ = path_.substr(events_prefix.size());
        return std::nullopt;
    }
    streamed_ = is_chunked(headers_);
    reserved_ = streamed_ ? std::min(streamed_reserve_step, max_upload_bytes_) : body_length(headers_).bytes;
    if (!spool_.reserve(reserved_)) return error(spool_.out_of_room() ? 507 : 500, spool_.error());
    form_.emplace(
        *form_data_boundary(*find_header(headers_, "Content-Type")),
        [this](const std::string& name, const std::string&) {
            keeping_ = (name == "audio" && kept_ != Kept::audio) || (name == "file" && kept_ == Kept::none);
            if (keeping_) {
                spool_.clear();
                kept_ = name == "audio" ? Kept::audio : Kept::file;
                if (streamed_ && live_engine_ != nullptr && kept_ == Kept::audio) {
                    const std::string* series = find_header(headers_, series_header);
                    live_.emplace(*live_engine_, series == nullptr ? std::string() : *series,
                                  take_for_live_words());
                    if (!live_->start()) live_.reset();  // decoded once complete instead
                }
            }
        },
        [this](std::string_view bytes) {
            if (keeping_) spool_.append(bytes);
        });
    return std::nullopt;
}

std::unique_ptr<LiveWords::Take> Request::take_for_live_words() {
    if (live_words_ == nullptr) return nullptr;
    const std::string* id = find_header(headers_, "X-Take-Id");
    // An id the events request could not name is left alone: the upload is answered as without one.
    if (id == nullptr || !LiveWords::valid_id(*id)) return nullptr;
    return live_words_->begin(*id);
}

std::optional<Reply> Request::take(std::string_view bytes) {
    if (!form_) return std::nullopt;  // no body was asked for
    received_ += bytes.size();
    if (streamed_) {
        // A streamed upload's length is known only at its end, so the limit and the room it takes are
        // counted as it comes.
        if (received_ > max_upload_bytes_) return error(413, over_limit(received_, max_upload_bytes_));
        if (received_ > reserved_) {
            const std::uint64_t more = std::max(streamed_reserve_step, received_ - reserved_);
            if (!spool_.reserve(more)) return error(spool_.out_of_room() ? 507 : 500, spool_.error());
            reserved_ += more;
        }
    }
    if (!form_->feed(bytes)) return error(400, form_->error());
    if (live_ && spool_.sync()) live_->arrived(spool_.descriptor(), spool_.size());
    if (!spool_.error().empty()) return error(spool_.out_of_room() ? 507 : 500, spool_.error());
    return std::nullopt;
}

Reply Request::finish(SpeechToText& engine) {
    if (!form_) return error(500, "the body of a request that takes none was read");
    if (!form_->complete()) return error(400, "multipart body ends before its closing boundary");
    if (kept_ == Kept::none) return error(400, not_form_data);
    if (live_) {
        const auto started = Clock::now();
        if (auto outcome = live_->finish()) return live_reply(std::move(*outcome), seconds_since(started));
    }
    const std::string_view wav = spool_.map();
    if (!spool_.error().empty()) return error(spool_.out_of_room() ? 507 : 500, spool_.error());
    return transcribe_wav(wav, engine, [this](std::string_view done) { spool_.release(done); });
}

}  // namespace server
