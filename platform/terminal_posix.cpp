#include "platform/terminal.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int standard_input = 0;
constexpr int standard_error = 2;
constexpr int assumed_columns = 80;

}  // namespace

// Every terminal the program meets on POSIX systems follows the VT100 for these few sequences.
bool stderr_takes_cursor_sequences() { return isatty(standard_error) == 1; }

int stderr_columns() {
    winsize size{};
    if (ioctl(standard_error, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return assumed_columns;
    return size.ws_col;
}

bool input_echoes_keys() {
    termios mode{};
    return isatty(standard_input) == 1 && tcgetattr(standard_input, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
}
