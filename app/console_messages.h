#pragma once

#include <string>
#include <string_view>

// Everything the program tells the person at the console, other than the dialogue on standard output,
// goes through here: one line on standard error, prefixed "dictate: ". Messages name the thing (a path,
// a call, a server) and the reason. Control characters in the message are shown escaped, as
// console_safe() does, so a server's words can neither break the line nor drive the terminal.
void tell_user(std::string_view message);

// text as it may be shown on a terminal: every control character but tab (the C0 range, DEL, and the
// C1 range in its UTF-8 form) is written as \xHH, one per byte, so text from elsewhere cannot clear the
// screen, recolour it, move the cursor or overprint a line. Everything else passes unchanged.
std::string console_safe(std::string_view text);
