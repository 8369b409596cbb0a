// Feeds arbitrary bytes to extract_text() as if a server had sent them.
//
// The reply reader promises to fail only with the JSON library's own exceptions, so those are the only
// ones caught here: anything else escaping, a crash, or a sanitizer report is a finding. A text that does
// come out must survive being put back into a reply and read again unchanged, which also proves it is
// valid UTF-8 (the library refuses to write anything else).
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "transcription/transcription_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text;
    try {
        text = extract_text(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const nlohmann::json::exception&) {
        return 0;  // an unusable reply, reported as promised
    }
    const std::string again = extract_text(nlohmann::json{{"text", text}}.dump());
    if (again != text) __builtin_trap();
    return 0;
}
