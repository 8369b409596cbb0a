#include "transcription/transcription_reply.h"

#include <nlohmann/json.hpp>

std::string extract_text(std::string body) {
    nlohmann::json reply = nlohmann::json::parse(body);
    // The mutable lookup is intended: a missing member (or a null document) becomes null, so both end in the
    // same "must be string, but is null" error rather than an out-of-range one.
    return reply["text"].get<std::string>();
}
