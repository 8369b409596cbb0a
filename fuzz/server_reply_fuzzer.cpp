// Feeds arbitrary bytes to what the client makes of a whole reply before anyone reads it: the line that
// words a reply with an error status (the server's "error" member or the start of its body), and the
// escaping that every such line and every transcription goes through on its way to the terminal.
//
// The first byte picks the status; the rest is the body. Findings: a crash or sanitizer report, any
// exception but std::bad_alloc, a line that grows with the body instead of staying readable, a 2xx reply
// worded as a failure, or a control character (other than tab) that reaches the terminal unescaped, a raw
// 8-bit one included.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/console_messages.h"
#include "app/exchange_failure.h"

namespace {

bool reaches_terminal_raw(std::string_view shown) {
    std::size_t continuations = 0;  // bytes the last lead byte announced
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto byte = static_cast<unsigned char>(shown[i]);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f) return true;
        // A byte 0x80-0x9f outside a character is a C1 control to a terminal set to an 8-bit character set.
        if (byte >= 0x80 && byte <= 0xbf) {
            if (continuations == 0 && byte <= 0x9f) return true;
            if (continuations > 0) --continuations;
        } else {
            continuations = byte >= 0xf0 ? 3 : byte >= 0xe0 ? 2 : byte >= 0xc0 ? 1 : 0;
        }
        if (byte == 0xc2 && i + 1 < shown.size()) {
            const auto next = static_cast<unsigned char>(shown[i + 1]);
            if (next >= 0x80 && next <= 0x9f) return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    transcription::ExchangeOutcome outcome;
    outcome.ending = transcription::Ending::answered;
    outcome.status = 200 + data[0] % 8 * 50;  // 200, 250 (still 2xx), 300 ... 550
    outcome.body.assign(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::string why = exchange_failure(outcome, "localhost:4999");
    if (outcome.status < 300 && !why.empty()) __builtin_trap();
    if (outcome.status >= 300 && why.empty()) __builtin_trap();
    // The server's words or the start of the body, at most a few hundred bytes, plus the fixed wording.
    if (why.size() > 600) __builtin_trap();

    if (reaches_terminal_raw(console_safe(why))) __builtin_trap();
    if (reaches_terminal_raw(console_safe(outcome.body))) __builtin_trap();
    return 0;
}
