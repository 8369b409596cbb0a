#pragma once

#include <string>
#include <string_view>

#include "platform/abort_told.h"

// Everything the program tells the person at the console, other than the dialogue on standard output,
// goes through here: one line on standard error, prefixed "dictate: ". Messages name the thing (a path,
// a call, a server) and the reason. Control characters in the message are shown escaped, as
// console_safe() does, so a server's words can neither break the line nor drive the terminal.
void tell_user(std::string_view message);

// The line tell_user() writes for `message`, without its line end.
std::string told_line(std::string_view message);

// Held around the calls that start the audio library or list its devices: an assertion of the library's own
// that fails there (an empty ALSA configuration makes one) ends the program with status 1 and a line that
// says what to check, rather than with SIGABRT and no word.
AbortTold audio_library_abort_told();

// One line of the HTTP library's trace of an upload, on standard error in one write, escaped as
// console_safe() does: the server's header lines and reason phrase are its own words.
void show_trace_line(std::string_view line);

enum class LineEnds {
    escaped,  // a line end is shown as \x0a, so the text stays on one line
    kept,     // a line end is a line end (the stream's own: CR LF in a Windows text stream)
};

// text as it may be shown on a terminal: every control character but tab (the C0 range, DEL, the C1 range
// in its UTF-8 form, and a byte 0x80-0x9f outside any well-formed UTF-8 character, which a terminal set to
// an 8-bit character set takes for a C1 control) is written as \xHH, one per byte, so text from elsewhere
// cannot clear the screen, recolour it, move the cursor or overprint a line. A line end (LF) is escaped or
// kept as `line_ends` says; CR is always escaped. Everything else passes unchanged.
std::string console_safe(std::string_view text, LineEnds line_ends = LineEnds::escaped);
