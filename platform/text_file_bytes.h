#pragma once

#include <string>
#include <string_view>

// The bytes a text file of this system holds for `text` and a line end after it. POSIX: the text as it is,
// then LF. Windows: every LF that does not already follow a CR becomes CR LF, so text written with Windows'
// line ends (as a server may send) keeps them byte for byte, and the file ends with CR LF. Any thread.
std::string text_file_bytes(std::string_view text);

// The Windows rule above, on every system.
std::string with_crlf_line_ends(std::string_view text);
