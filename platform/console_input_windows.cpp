#include "platform/console_input.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
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

    InputEvent next(HANDLE interrupt, std::chrono::milliseconds timeout, char* buffer, std::size_t capacity,
                    std::size_t& got) {
        if (interrupt != nullptr && WaitForSingleObject(interrupt, 0) == WAIT_OBJECT_0)
            return InputEvent::interrupted;
        if (take(buffer, capacity, got)) return InputEvent::bytes;
        if (ended_now()) return InputEvent::end_of_input;
        const HANDLE handles[2] = {interrupt, ready_};
        const DWORD count = interrupt != nullptr ? 2 : 1;
        const HANDLE* first = interrupt != nullptr ? handles : handles + 1;
        const DWORD woke = WaitForMultipleObjects(count, first, FALSE, static_cast<DWORD>(timeout.count()));
        if (woke == WAIT_TIMEOUT) return InputEvent::timeout;
        if (woke == WAIT_FAILED) return InputEvent::end_of_input;
        if (interrupt != nullptr && woke == WAIT_OBJECT_0) return InputEvent::interrupted;
        if (take(buffer, capacity, got)) return InputEvent::bytes;
        return ended_now() ? InputEvent::end_of_input : InputEvent::timeout;
    }

    bool console() const { return console_; }

    // What the console holds that its pending read has not yet returned, and what the thread has read and
    // not handed out.
    void discard_pending() {
        if (console_) FlushConsoleInputBuffer(input_);
        std::lock_guard lock(mutex_);
        pending_.clear();
        if (!ended_) ResetEvent(ready_);
    }

private:
    void read_until_end() {
        char chunk[16 * 1024];
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

    // Takes what there is, up to `capacity` bytes; resets the event when nothing is left, so that the wait
    // blocks.
    bool take(char* buffer, std::size_t capacity, std::size_t& got) {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) {
            if (!ended_) ResetEvent(ready_);
            return false;
        }
        got = std::min(capacity, pending_.size());
        std::copy_n(pending_.begin(), got, buffer);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(got));
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

InputReader& reader_of(int input_fd) {
    static InputReader reader(reinterpret_cast<HANDLE>(_get_osfhandle(input_fd)));
    return reader;
}

}  // namespace

InputEvent next_input(int input_fd, Waitable interrupt, std::chrono::milliseconds timeout, char* buffer,
                      std::size_t capacity, std::size_t& got) {
    return reader_of(input_fd).next(static_cast<HANDLE>(interrupt), timeout, buffer, capacity, got);
}

bool input_is_terminal(int input_fd) { return reader_of(input_fd).console(); }

void discard_typed_ahead(int input_fd) {
    InputReader& reader = reader_of(input_fd);
    if (reader.console()) reader.discard_pending();
}
