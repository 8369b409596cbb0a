#include "transcription/transcription_reply.h"

#include <nlohmann/json.hpp>

std::string extract_text(std::string body) {
    nlohmann::json reply = nlohmann::json::parse(body);
    // The mutable lookup is intended: a missing member (or a null document) becomes null, so both end in the
    // same "must be string, but is null" error rather than an out-of-range one.
    return reply["text"].get<std::string>();
}

std::optional<std::string> error_member(std::string_view body) {
    const auto reply = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!reply.is_object()) return std::nullopt;
    const auto error = reply.find("error");
    if (error == reply.end()) return std::nullopt;
    if (error->is_string()) return error->get<std::string>();
    // The widespread API's form: {"error": {"message": "...", "type": ..., "code": ...}}.
    if (!error->is_object()) return std::nullopt;
    const auto message = error->find("message");
    if (message == error->end() || !message->is_string()) return std::nullopt;
    return message->get<std::string>();
}

bool is_whole_json(std::string_view body) {
    // Only an object or an array is taken for whole: a number or a word could still go on. The check on the
    // last byte spares the parse of most replies still arriving.
    const std::size_t last = body.find_last_not_of(" \t\r\n");
    if (last == std::string_view::npos || (body[last] != '}' && body[last] != ']')) return false;
    return nlohmann::json::accept(body);
}
