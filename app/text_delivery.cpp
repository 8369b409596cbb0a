#include "app/text_delivery.h"

#include <utility>

namespace {

// A tool that takes longer than this to put a text on the clipboard, or to start typing one, has hung.
constexpr std::chrono::milliseconds tool_limit{3000};
// Typing goes at 3 ms a key and more on a loaded machine; 20 ms a character leaves it room.
constexpr std::chrono::milliseconds per_typed_character{20};

}  // namespace

std::string typed_keys(std::string_view text, bool newlines) {
    std::string keys;
    keys.reserve(text.size() + 1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\r' || byte == '\n') {
            if (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;  // CR LF is one line end
            keys += newlines ? '\n' : ' ';
        } else if (byte == '\t') {
            keys += ' ';
        } else if (byte < 0x20 || byte == 0x7f) {
            continue;
        } else if (byte == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            ++i;  // a C1 control, U+0080 to U+009F
        } else {
            keys += text[i];
        }
    }
    // A text of blanks alone would only press Enter or Space in someone's window.
    if (keys.find_first_not_of(" \n") == std::string::npos) return {};
    keys += ' ';
    return keys;
}

TextDelivery::TextDelivery(DeliveryChoice choice, std::function<void(std::string_view)> tell,
                           DesktopSeams desktop)
    : choice_(choice), tell_(std::move(tell)), desktop_(std::move(desktop)) {}

void TextDelivery::deliver(const std::string& text) {
    // An empty text would only empty the clipboard of what the person had there.
    if (choice_.copy && !text.empty() && !copy_advised_)
        report(desktop_.copy(text, tool_limit), "copied to the clipboard", copy_advised_);
    if (!choice_.type || type_advised_) return;
    const std::string keys = typed_keys(text, choice_.type_newlines);
    if (keys.empty()) return;
    const auto limit = tool_limit + per_typed_character * static_cast<long long>(keys.size());
    report(desktop_.type(keys, limit), "typed", type_advised_);
}

void TextDelivery::report(const DesktopResult& result, const char* what, bool& advised) {
    switch (result.outcome) {
        case DesktopResult::Outcome::done:
            return;
        case DesktopResult::Outcome::unavailable:
            // It will not come by itself while the program runs: said once, and not tried again.
            advised = true;
            tell_(std::string("the text can't be ") + what + ": " + result.reason +
                  "; dictation goes on, the text is shown and saved as always");
            return;
        case DesktopResult::Outcome::failed:
            tell_(std::string("this take's text was not ") + what + ": " + result.reason +
                  "; it is shown and saved as always");
            return;
    }
}
