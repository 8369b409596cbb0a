#include "platform/console_text_input_windows.h"

#include "platform/interrupt_signal.h"

namespace {

constexpr wchar_t ctrl_z = 0x1A;
// Far longer than the console takes to start the handler's thread, even on a loaded machine.
constexpr DWORD interrupt_patience_ms = 1000;

bool is_high_surrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// The first half of a character whose second half comes with the next read.
wchar_t carried = 0;

}  // namespace

BOOL read_console_text(HANDLE input, char* into, DWORD size, DWORD* got) {
    *got = 0;
    // Three UTF-8 bytes at most per UTF-16 unit, four per surrogate pair; one unit is the carried half.
    wchar_t units[256];
    const DWORD room = size / 3 - 1 < 255 ? size / 3 - 1 : 255;
    DWORD count = 0;
    if (carried != 0) {
        units[0] = carried;
        carried = 0;
        count = 1;
    }
    DWORD read = 0;
    if (!ReadConsoleW(input, units + count, room, &read, nullptr)) return FALSE;
    if (read == 0) {
        // Ctrl-C and Ctrl-Break end a console read with nothing, and their handler runs on a thread of its
        // own, maybe later: wait for it a while before taking an empty read for the end of input. Paced, so
        // that a console that keeps answering so can't make this thread spin.
        const bool interrupted =
            WaitForSingleObject(interrupt_waitable(), interrupt_patience_ms) == WAIT_OBJECT_0;
        if (!interrupted) return TRUE;
        Sleep(10);
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    if (count == 0 && units[0] == ctrl_z) return TRUE;  // as ReadFile() on a console treats it
    count += read;
    if (is_high_surrogate(units[count - 1])) carried = units[--count];
    if (count == 0) {
        *got = 0;
        SetLastError(ERROR_OPERATION_ABORTED);  // nothing whole yet; not the end
        return FALSE;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, units, static_cast<int>(count), into,
                                          static_cast<int>(size), nullptr, nullptr);
    if (bytes <= 0) return FALSE;
    *got = static_cast<DWORD>(bytes);
    return TRUE;
}
