#pragma once

#include <string_view>

namespace server {

// Writes one line to stderr with the program's prefix. The single place the server talks to its operator;
// lines from concurrent requests never interleave. Any thread.
void say(std::string_view line);

}  // namespace server
