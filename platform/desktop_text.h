#pragma once

#include <chrono>
#include <string>

// Handing a take's text to the desktop: the clipboard, or keys typed into the window that has the focus.

struct DesktopResult {
    enum class Outcome {
        done,
        unavailable,  // no desktop or no tool to reach it: `reason` says what to install or start
        failed,       // the tool or call failed or took too long: `reason` names it and says why
    };
    Outcome outcome = Outcome::done;
    std::string reason;
};

// Puts `text` (UTF-8) on the clipboard, where it stays after the program ends. Linux: `wl-copy` under
// Wayland, else `xclip` or `xsel` under X11, whichever is installed, started without a shell in a session
// of its own (so Ctrl-C at the console does not take the clipboard with it), the text on its standard input.
// Windows: the system clipboard as Unicode text. A tool still running after `limit` is ended and the call
// fails. Main thread; never throws except std::bad_alloc.
DesktopResult put_on_clipboard(const std::string& text, std::chrono::milliseconds limit);

// Types `keys` (UTF-8; '\n' is Enter; no other control character) into the window that has the keyboard
// focus, whatever it is. Linux: `xdotool` under X11, `wtype` or `ydotool` under Wayland, the keys on its
// standard input; Windows: Unicode key events. Gives up after `limit` as above. Main thread.
DesktopResult type_into_focus(const std::string& keys, std::chrono::milliseconds limit);
