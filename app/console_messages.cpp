#include "app/console_messages.h"

#include <iostream>
#include <string>

void tell_user(std::string_view message) {
    // One write per line, so a message is never interleaved with the HTTP library's trace.
    std::string line = "dictate: ";
    line += message;
    line += '\n';
    std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cerr.flush();
}
