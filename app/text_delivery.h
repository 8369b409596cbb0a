#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "platform/desktop_text.h"

// Where each take's text goes besides the screen and its file, as the command line asks.
struct DeliveryChoice {
    bool copy = false;           // --copy: onto the clipboard, exactly as saved
    bool type = false;           // --type: typed into the window with the focus
    bool type_newlines = false;  // --type-newlines: a line end typed as Enter
};

// The keys --type sends for `text`: the text followed by a space, so that the next take's words go on the
// sentence. No control character is ever typed: a line end (LF, CR LF or CR) is '\n', which means Enter, with
// `newlines`, and otherwise a space, as is a tab (a terminal or chat window would run or send the line, a
// form would move on); any other control character (C0, DEL, C1 in its UTF-8 form) is left out. Empty when
// the text has nothing to type but spaces and line ends.
std::string typed_keys(std::string_view text, bool newlines);

// What TextDelivery reaches the desktop through: the platform's own unless a test passes others.
struct DesktopSeams {
    std::function<DesktopResult(const std::string&, std::chrono::milliseconds)> copy = put_on_clipboard;
    std::function<DesktopResult(const std::string&, std::chrono::milliseconds)> type = type_into_focus;
};

// Hands each take's text to the desktop after it has been shown and saved, so that a clipboard or typing
// tool that fails or hangs costs neither. A failure is told in one line through `tell` for each take; a
// desktop that can't be reached at all (no session, no tool) once for the run, and the takes go on. Each
// tool is given a few seconds (typing, a few more for a long text) and then stopped. Main thread.
class TextDelivery {
public:
    TextDelivery(DeliveryChoice choice, std::function<void(std::string_view)> tell,
                 DesktopSeams desktop = {});

    void deliver(const std::string& text);

private:
    void report(const DesktopResult& result, const char* what, bool& advised);

    DeliveryChoice choice_;
    std::function<void(std::string_view)> tell_;
    DesktopSeams desktop_;
    bool copy_advised_ = false;
    bool type_advised_ = false;
};
