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

bool continuation(std::string_view text, std::size_t at, unsigned char low = 0x80,
                  unsigned char high = 0xbf) {
    if (at >= text.size()) return false;
    const auto byte = static_cast<unsigned char>(text[at]);
    return byte >= low && byte <= high;
}

// The length of the well-formed UTF-8 character of two or more bytes that starts at `at`, or 0.
std::size_t utf8_length(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead >= 0xc2 && lead <= 0xdf) return continuation(text, at + 1) ? 2 : 0;
    if (lead >= 0xe0 && lead <= 0xef) {
        // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
        const unsigned char low = lead == 0xe0 ? 0xa0 : 0x80;
        const unsigned char high = lead == 0xed ? 0x9f : 0xbf;
        return continuation(text, at + 1, low, high) && continuation(text, at + 2) ? 3 : 0;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        const unsigned char low = lead == 0xf0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xf4 ? 0x8f : 0xbf;
        return continuation(text, at + 1, low, high) && continuation(text, at + 2) &&
                       continuation(text, at + 3)
                   ? 4
                   : 0;
    }
    return 0;
}

void write_line(std::string line) {
    // One write per line, so a line is never interleaved with another.
    line += '\n';
    std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cerr.flush();
}

}  // namespace

std::string console_safe(std::string_view text, LineEnds line_ends) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n' && line_ends == LineEnds::kept) {
            shown += '\n';
            ++i;
        } else if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
            append_escaped(shown, byte);
            ++i;
        } else if (byte < 0x80) {
            shown += text[i++];
        } else if (const std::size_t length = utf8_length(text, i); length == 0) {
            // Not part of a character: harmless unless it is in the C1 range.
            if (byte <= 0x9f)
                append_escaped(shown, byte);
            else
                shown += text[i];
            ++i;
        } else if (byte == 0xc2 && static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            // U+0080..U+009F: terminals that decode UTF-8 act on some of these (U+009B starts a sequence).
            append_escaped(shown, byte);
            append_escaped(shown, static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            shown.append(text.substr(i, length));
            i += length;
        }
    }
    return shown;
}

std::string told_line(std::string_view message) { return "dictate: " + console_safe(message); }

void tell_user(std::string_view message) { write_line(told_line(message)); }

AbortTold audio_library_abort_told() {
    constexpr int audio_failure_status = 1;
    return AbortTold(
        told_line("audio: the audio library stopped the program while it looked for sound devices "
                  "(an assertion of its own failed), as an empty or broken ALSA configuration "
                  "makes it do: check $ALSA_CONFIG_PATH, /etc/asound.conf and ~/.asoundrc"),
        audio_failure_status);
}

void show_trace_line(std::string_view line) { write_line(console_safe(line)); }
