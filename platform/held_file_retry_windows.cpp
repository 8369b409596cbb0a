#include "platform/held_file_retry_windows.h"

#include <windows.h>

namespace {

bool held_by_another(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

}  // namespace

bool retry_while_held(const std::function<bool()>& attempt) {
    // Short waits first (a scanner usually lets go within milliseconds), then longer ones.
    constexpr DWORD longest_wait_ms = 200;
    constexpr ULONGLONG patience_ms = 2000;
    const ULONGLONG first_failure = GetTickCount64();
    DWORD wait_ms = 5;
    for (;;) {
        if (attempt()) return true;
        const DWORD error = GetLastError();
        if (!held_by_another(error) || GetTickCount64() - first_failure >= patience_ms) return false;
        Sleep(wait_ms);
        wait_ms = wait_ms * 2 < longest_wait_ms ? wait_ms * 2 : longest_wait_ms;
    }
}
