#include "platform/text_file_bytes.h"

std::string with_crlf_line_ends(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 32 + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) bytes += '\r';
        bytes += text[i];
    }
    return bytes;
}

std::string text_file_bytes(std::string_view text) {
    std::string line(text);
    line += '\n';
#if defined(_WIN32)
    return with_crlf_line_ends(line);
#else
    return line;
#endif
}
