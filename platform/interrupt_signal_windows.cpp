#include "platform/interrupt_signal.h"

#include <windows.h>

#include <atomic>

#include "platform/windows_error.h"

namespace {

// The numbers the POSIX build reports, so that exit statuses are the same everywhere.
constexpr int sigint_number = 2;
constexpr int sighup_number = 1;
// Windows ends a process this long after a close, logoff or shutdown event at the latest (5 s by default);
// the handler holds the process open for that time while the main thread finishes the take and returns.
constexpr DWORD close_grace_ms = 5000;

HANDLE requested_event = nullptr;
std::atomic<int> first_request{0};

// Runs on a thread Windows starts for each event.
BOOL WINAPI on_console_event(DWORD event) {
    int number = 0;
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            number = sigint_number;
            break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            number = sighup_number;
            break;
        default:
            return FALSE;
    }
    int none = 0;
    if (!first_request.compare_exchange_strong(none, number)) {
        // Second request: the person wants out now, whatever is in progress.
        ExitProcess(static_cast<UINT>(128 + number));
    }
    SetEvent(requested_event);
    // Returning from a close event lets Windows end the process at once; waiting here leaves the main
    // thread its time to write and send the take. The process ends when main returns, this thread with it.
    if (number == sighup_number) Sleep(close_grace_ms);
    return TRUE;
}

std::string failure(const char* call) {
    return std::string(call) + " failed: " + windows_error_text(GetLastError()) +
           " (Ctrl-C and closing the console will end the program without finishing the take)";
}

}  // namespace

std::string install_interrupt_handlers() {
    if (requested_event != nullptr) return "";
    requested_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset: stays signalled
    if (requested_event == nullptr) return failure("CreateEvent");
    if (!SetConsoleCtrlHandler(on_console_event, TRUE)) return failure("SetConsoleCtrlHandler");
    return "";
}

Waitable interrupt_waitable() { return requested_event; }

bool interrupt_requested() { return first_request.load() != 0; }

int interrupt_exit_status() {
    const int number = first_request.load();
    return 128 + (number != 0 ? number : sigint_number);
}
