// Feeds arbitrary bytes to the live words' event stream reader as if a server had sent them.
//
// However the bytes are cut into blocks, the reader must come to the same state and text; a text it keeps
// must be well-formed UTF-8 (the JSON library refuses to write anything else) and within the cap. A crash,
// a sanitizer report or an exception is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "transcription/words_events.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    constexpr std::size_t cap = 256;  // small, so that inputs reach it
    transcription::WordsEventReader whole(cap);
    whole.feed(bytes);
    transcription::WordsEventReader split(cap);
    // Blocks of a length taken from the input itself, so that the fuzzer explores the cuts too.
    const std::size_t block = size == 0 ? 1 : static_cast<unsigned char>(bytes[0]) % 7 + 1;
    for (std::size_t at = 0; at < size; at += block) split.feed(bytes.substr(at, block));
    if (whole.state() != split.state() || whole.text() != split.text() ||
        whole.texts_read() != split.texts_read())
        __builtin_trap();
    if (whole.text().size() > cap) __builtin_trap();
    (void)nlohmann::json(whole.text()).dump();  // throws on text that is not UTF-8
    return 0;
}
