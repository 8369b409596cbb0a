#include "app/console_messages.h"

#include <iostream>
#include <string>

namespace {

void append_escaped(std::string& into, unsigned char byte) {
    constexpr char digits[] = "0123456789abcdef";
    into += "\\x";
    into += digits[byte >> 4];
    into += digits[byte & 0x0f];
}

}  // namespace

std::string console_safe(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c0_or_del = (byte < 0x20 && byte != '\t') || byte == 0x7f;
        // U+0080..U+009F: terminals that decode UTF-8 act on some of these (U+009B starts a sequence).
        const bool c1 = byte == 0xc2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9f;
        if (c1) {
            append_escaped(shown, byte);
            append_escaped(shown, static_cast<unsigned char>(text[++i]));
        } else if (c0_or_del) {
            append_escaped(shown, byte);
        } else {
            shown += text[i];
        }
    }
    return shown;
}

void tell_user(std::string_view message) {
    // One write per line, so a message is never interleaved with the HTTP library's trace.
    std::string line = "dictate: ";
    line += console_safe(message);
    line += '\n';
    std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cerr.flush();
}
