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

const FormPart* audio_part(const std::vector<FormPart>& parts) {
    for (std::string_view wanted : {"audio", "file"}) {
        for (const FormPart& part : parts) {
            if (part.name == wanted) return &part;
        }
    }
    return nullptr;
}

Reply transcribe(const Request& request, SpeechToText& engine) {
    const FormPart* part = audio_part(request.parts);
    if (part == nullptr) {
        return error(400, not_form_data);
    }
    return transcribe_wav(part->content, engine);
}

}  // namespace

Reply error_reply(int status, std::string_view message) { return error(status, message); }

Reply transcribe_wav(std::string_view wav, SpeechToText& engine, const DecodeHooks& hooks) {
    const auto decoded = decode_wav(wav);
    if (const auto* bad = std::get_if<WavError>(&decoded)) return error(bad->status, bad->message);
    const WavAudio& audio = std::get<WavAudio>(decoded);

    const auto queued = Clock::now();
    std::unique_lock<std::mutex> turn;
    if (hooks.turn != nullptr) turn = std::unique_lock(*hooks.turn);
    const double queue_seconds = seconds_since(queued);
    const auto started = Clock::now();
    try {
        const std::string text = engine.transcribe(to_recognizer_input(audio, hooks.consumed));
        return Reply{200, dump({{"text", text}, {"duration", audio.seconds()}}), audio.seconds(),
                     seconds_since(started), queue_seconds};
    } catch (const std::exception& failure) {
        Reply reply = error(500, std::string("transcription failed: ") + failure.what());
        reply.audio_seconds = audio.seconds();
        reply.queue_seconds = queue_seconds;
        return reply;
    }
}

std::optional<Reply> screen_request(std::string_view method, std::string_view path, const Headers& headers,
                                    std::uint64_t max_upload_bytes) {
    if (!is_http_method(method)) return error(400, "not an HTTP method: " + std::string(method));
    if (path.size() > max_target) return error(414, "request target over 8 KiB");
    // Two lengths for one body let two parsers on the way frame the request differently; whatever the
    // request is, it gets no answer but this.
    const BodyLength length = body_length(headers);
    if (length.kind == BodyLength::Kind::malformed) {
        return error(400, "Content-Length is not one number: " + length.text);
    }
    std::string_view allowed;
    if (path == "/health")
        allowed = "GET";
    else if (path == "/transcribe")
        allowed = "POST";
    else
        return error(404, "no such path: " + std::string(path));
    if (method != allowed) {
        return error(405, std::string(path) + " accepts " + std::string(allowed) + " only");
    }
    if (method != "POST") return std::nullopt;

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

Reply handle_request(const Request& request, SpeechToText& engine, std::uint64_t max_upload_bytes) {
    if (auto refused = screen_request(request.method, request.path, request.headers, max_upload_bytes)) {
        return std::move(*refused);
    }
    if (request.path == "/health") return Reply{200, dump({{"status", "ok"}})};
    return transcribe(request, engine);
}

}  // namespace server
