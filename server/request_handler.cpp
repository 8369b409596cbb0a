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

Reply error(int status, std::string_view message) {
    return Reply{status, dump({{"error", message}})};
}

bool same_name(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

const std::string* header(const Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (same_name(key, name)) return &value;
    }
    return nullptr;
}

std::optional<std::uint64_t> parse_length(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

constexpr std::string_view not_form_data =
    "expected multipart/form-data (with a boundary) holding the WAV file in a part named \"audio\"";

bool is_form_data(std::string_view content_type) {
    constexpr std::string_view form_data = "multipart/form-data";
    if (content_type.size() < form_data.size() || !same_name(content_type.substr(0, form_data.size()), form_data)) {
        return false;
    }
    const auto boundary = content_type.find("boundary=");
    return boundary != std::string_view::npos && boundary + 9 < content_type.size();
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
    const auto decoded = decode_wav(part->content);
    if (const auto* bad = std::get_if<WavError>(&decoded)) return error(bad->status, bad->message);
    const WavAudio& audio = std::get<WavAudio>(decoded);

    const auto started = std::chrono::steady_clock::now();
    try {
        const std::string text = engine.transcribe(to_recognizer_input(audio));
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        return Reply{200, dump({{"text", text}, {"duration", audio.seconds()}}), audio.seconds(), took.count()};
    } catch (const std::exception& failure) {
        Reply reply = error(500, std::string("transcription failed: ") + failure.what());
        reply.audio_seconds = audio.seconds();
        return reply;
    }
}

}  // namespace

std::optional<Reply> screen_request(std::string_view method, std::string_view path, const Headers& headers,
                                    std::uint64_t max_upload_bytes) {
    std::string_view allowed;
    if (path == "/health") allowed = "GET";
    else if (path == "/transcribe") allowed = "POST";
    else return error(404, "no such path: " + std::string(path));
    if (method != allowed) {
        return error(405, std::string(path) + " accepts " + std::string(allowed) + " only");
    }
    if (method != "POST") return std::nullopt;

    const std::string* length_text = header(headers, "Content-Length");
    if (length_text == nullptr) return error(411, "uploads need a Content-Length header");
    const auto length = parse_length(*length_text);
    if (!length) return error(400, "Content-Length is not a number: " + *length_text);
    if (*length > max_upload_bytes) {
        return error(413, "upload of " + std::to_string(*length) + " bytes is over the limit of " +
                              std::to_string(max_upload_bytes) + " bytes");
    }
    // Without a boundary the body can't be split into parts; refusing now spares reading it.
    const std::string* type = header(headers, "Content-Type");
    if (type == nullptr || !is_form_data(*type)) return error(400, not_form_data);
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
