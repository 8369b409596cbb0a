#include "platform/terminal.h"

#include <windows.h>

namespace {

constexpr int assumed_columns = 80;

}  // namespace

bool stderr_takes_cursor_sequences() {
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    // A pipe or a file has no console mode.
    if (console == INVALID_HANDLE_VALUE || console == nullptr || GetConsoleMode(console, &mode) == 0) {
        return false;
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int stderr_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == 0) return assumed_columns;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : assumed_columns;
}

bool input_echoes_keys() {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) == 0) return false;
    return (mode & ENABLE_ECHO_INPUT) != 0 && (mode & ENABLE_LINE_INPUT) != 0;
}
