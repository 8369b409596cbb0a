#include "platform/console_input.h"

#include <io.h>
#include <windows.h>

#include <deque>
#include <mutex>
#include <thread>

#include "platform/console_text_input_windows.h"

namespace {

// Bytes read from one handle by a thread of its own, handed to the main thread through a queue and an event
// that is signalled while the queue holds something or input has ended.
class InputReader {
public:
    explicit InputReader(HANDLE input) : input_(input), ready_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        DWORD mode = 0;
        console_ = GetConsoleMode(input_, &mode) != 0;
        if (ready_ == nullptr || input_ == INVALID_HANDLE_VALUE) {
            ended_ = true;
            return;
        }
        // Never joined: a read of a console or a pipe can't be called off portably, and it ends with the
        // process.
        std::thread([this] { read_until_end(); }).detach();
    }

    InputEvent next(HANDLE interrupt, std::chrono::milliseconds timeout, char& byte) {
        if (interrupt != nullptr && WaitForSingleObject(interrupt, 0) == WAIT_OBJECT_0)
            return InputEvent::interrupted;
        if (take(byte)) return InputEvent::byte;
        if (ended_now()) return InputEvent::end_of_input;
        const HANDLE handles[2] = {interrupt, ready_};
        const DWORD count = interrupt != nullptr ? 2 : 1;
        const HANDLE* first = interrupt != nullptr ? handles : handles + 1;
        const DWORD woke = WaitForMultipleObjects(count, first, FALSE, static_cast<DWORD>(timeout.count()));
        if (woke == WAIT_TIMEOUT) return InputEvent::timeout;
        if (woke == WAIT_FAILED) return InputEvent::end_of_input;
        if (interrupt != nullptr && woke == WAIT_OBJECT_0) return InputEvent::interrupted;
        if (take(byte)) return InputEvent::byte;
        return ended_now() ? InputEvent::end_of_input : InputEvent::timeout;
    }

private:
    void read_until_end() {
        char chunk[256];
        for (;;) {
            DWORD got = 0;
            const BOOL ok = console_ ? read_console_text(input_, chunk, sizeof chunk, &got)
                                     : ReadFile(input_, chunk, sizeof chunk, &got, nullptr);
            // Ctrl-C at a console cuts its read short; the interrupt is the console handler's to report.
            if (!ok && console_ && GetLastError() == ERROR_OPERATION_ABORTED) continue;
            std::lock_guard lock(mutex_);
            if (!ok || got == 0) {
                ended_ = true;  // end of file, a closed pipe (ERROR_BROKEN_PIPE), or input that can't be read
                SetEvent(ready_);
                return;
            }
            pending_.insert(pending_.end(), chunk, chunk + got);
            SetEvent(ready_);
        }
    }

    // Takes the next byte if there is one; resets the event when nothing is left, so that the wait blocks.
    bool take(char& byte) {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) {
            if (!ended_) ResetEvent(ready_);
            return false;
        }
        byte = pending_.front();
        pending_.pop_front();
        return true;
    }

    bool ended_now() {
        std::lock_guard lock(mutex_);
        return ended_ && pending_.empty();
    }

    HANDLE input_;
    HANDLE ready_;
    bool console_ = false;
    std::mutex mutex_;
    std::deque<char> pending_;
    bool ended_ = false;
};

}  // namespace

InputEvent next_input_byte(int input_fd, Waitable interrupt, std::chrono::milliseconds timeout, char& byte) {
    static InputReader reader(reinterpret_cast<HANDLE>(_get_osfhandle(input_fd)));
    return reader.next(static_cast<HANDLE>(interrupt), timeout, byte);
}
