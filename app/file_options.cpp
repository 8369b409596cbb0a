#include "app/file_options.h"

#include "app/command_line.h"

namespace {

constexpr std::string_view blanks = " \t";

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// GCC 12 warns, wrongly, of overlapping copies in a one-character literal + std::string(...).
std::string quoted(std::string_view name) {
    std::string text(1, '\'');
    text += name;
    text += '\'';
    return text;
}

// Whether `line` is well-formed UTF-8: no stray continuation byte, no sequence cut short, no longer form
// than needed, no surrogate, nothing past U+10FFFF.
bool is_utf8(std::string_view line) {
    for (std::size_t i = 0; i < line.size();) {
        const auto lead = static_cast<unsigned char>(line[i]);
        const std::size_t length = lead < 0x80                    ? 1
                                   : lead >= 0xc2 && lead <= 0xdf ? 2
                                   : lead >= 0xe0 && lead <= 0xef ? 3
                                   : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                                  : 0;
        if (length == 0 || i + length > line.size()) return false;
        unsigned long point = length == 1 ? lead : lead & (0x7f >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(line[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            point = (point << 6) | (next & 0x3f);
        }
        if ((length == 3 && point < 0x800) || (length == 4 && (point < 0x10000 || point > 0x10ffff)) ||
            (point >= 0xd800 && point <= 0xdfff))
            return false;
        i += length;
    }
    return true;
}

// Why `line` can't be read as an option, or empty; `argument` is set when it can.
std::string reason_against(std::string_view line, std::string& argument) {
    if (!is_utf8(line)) return "not UTF-8 text";
    for (const char c : line) {
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) return "a control character";
    }
    const std::size_t equals = line.find('=');
    const std::string_view name = trimmed(line.substr(0, equals));
    if (equals == std::string_view::npos || name.empty()) return "not of the form 'option = value'";
    if (name.starts_with("-")) return quoted(name) + ": an option is named without its dashes";
    argument = "--";
    argument += name;
    argument += '=';
    argument += trimmed(line.substr(equals + 1));
    // The line is judged as the command line would judge it. With --type beside it, --type-newlines alone is
    // no fault of the line; with nothing asked that ends the run early, a server address is judged too.
    const CommandLine alone = read_command_line({"--type"}, nullptr, nullptr, {argument});
    if (alone.action == CommandLine::Action::record) return {};
    if (alone.action != CommandLine::Action::refuse || alone.problem.starts_with("unknown option"))
        return quoted(name) + " is not an option the file can set";
    const std::string_view tail = "; dictate --help lists the options";
    std::string_view problem = alone.problem;
    if (problem.ends_with(tail)) problem.remove_suffix(tail.size());
    return std::string(problem);
}

}  // namespace

FileOptions read_file_options(std::string_view text, std::string_view shown_path) {
    FileOptions options;
    constexpr std::string_view byte_order_mark = "\xef\xbb\xbf";
    if (text.starts_with(byte_order_mark)) text.remove_prefix(byte_order_mark.size());
    for (std::size_t number = 1; !text.empty(); ++number) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        const std::string_view content = trimmed(line);
        if (content.empty() || content.starts_with('#')) continue;
        std::string argument;
        if (const std::string reason = reason_against(content, argument); !reason.empty()) {
            options.arguments.clear();
            options.problem = "configuration file " + std::string(shown_path) + ", line " +
                              std::to_string(number) + ": " + reason;
            return options;
        }
        options.arguments.push_back(std::move(argument));
    }
    return options;
}
