#include "server/request_handler.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <stdexcept>
#include <variant>

#include "server/resampler.h"
#include "server/wav_reader.h"

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
    if (path != "/transcribe") return error(404, "no such path: " + std::string(path));
    if (method != "POST") return error(405, "/transcribe accepts POST only");

    if (find_header(headers, "Transfer-Encoding") != nullptr) {
        if (find_header(headers, "Content-Length") != nullptr) {
            return error(400, "an upload with both Transfer-Encoding and Content-Length is ambiguous");
        }
        return error(411, "chunked uploads are not accepted: send the upload with a Content-Length header");
    }
    if (length.kind == BodyLength::Kind::absent) return error(411, "uploads need a Content-Length header");
    if (length.bytes > max_upload_bytes) {
        return error(413, "upload of " + std::to_string(length.bytes) + " bytes is over the limit of " +
                              std::to_string(max_upload_bytes) + " bytes");
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
    if (path_ == "/health") return Reply{200, dump({{"status", "ok"}})};
    if (!spool_.reserve(body_length(headers_).bytes))
        return error(spool_.out_of_room() ? 507 : 500, spool_.error());
    form_.emplace(
        *form_data_boundary(*find_header(headers_, "Content-Type")),
        [this](const std::string& name, const std::string&) {
            keeping_ = (name == "audio" && kept_ != Kept::audio) || (name == "file" && kept_ == Kept::none);
            if (keeping_) {
                spool_.clear();
                kept_ = name == "audio" ? Kept::audio : Kept::file;
            }
        },
        [this](std::string_view bytes) {
            if (keeping_) spool_.append(bytes);
        });
    return std::nullopt;
}

std::optional<Reply> Request::take(std::string_view bytes) {
    if (!form_) return std::nullopt;  // no body was asked for
    if (!form_->feed(bytes)) return error(400, form_->error());
    if (!spool_.error().empty()) return error(spool_.out_of_room() ? 507 : 500, spool_.error());
    return std::nullopt;
}

Reply Request::finish(SpeechToText& engine) {
    if (!form_) return error(500, "the body of a request that takes none was read");
    if (!form_->complete()) return error(400, "multipart body ends before its closing boundary");
    if (kept_ == Kept::none) return error(400, not_form_data);
    const std::string_view wav = spool_.map();
    if (!spool_.error().empty()) return error(spool_.out_of_room() ? 507 : 500, spool_.error());
    return transcribe_wav(wav, engine, [this](std::string_view done) { spool_.release(done); });
}

}  // namespace server
