#include "app/key_wait.h"

#include <algorithm>
#include <chrono>

#include "platform/console_input.h"

namespace {

constexpr std::size_t block_size = 64 * 1024;

}  // namespace

KeyInput::KeyInput(int input_fd)
    : input_fd_(input_fd), terminal_(input_is_terminal(input_fd)), block_(block_size) {}

bool KeyInput::consume_to_line_end() {
    const auto first = block_.begin() + static_cast<std::ptrdiff_t>(next_);
    const auto last = block_.begin() + static_cast<std::ptrdiff_t>(end_);
    const auto line_end = std::find(first, last, '\n');
    next_ = line_end == last ? end_ : static_cast<std::size_t>(line_end - block_.begin()) + 1;
    return line_end != last;
}

WaitEnd KeyInput::wait_for_take_end(Waitable interrupt, const std::function<bool()>& keep_recording,
                                    const std::chrono::milliseconds& every) {
    using Clock = std::chrono::steady_clock;
    auto next_check = Clock::now() + every;
    for (;;) {
        if (consume_to_line_end()) return WaitEnd::key;
        const auto now = Clock::now();
        if (now >= next_check) {
            if (!keep_recording()) return WaitEnd::capture_stopped;
            next_check = now + every;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_check - Clock::now());
        std::size_t got = 0;
        switch (next_input(input_fd_, interrupt, std::max(left, std::chrono::milliseconds(0)), block_.data(),
                           block_.size(), got)) {
            case InputEvent::interrupted:
                return WaitEnd::interrupted;
            case InputEvent::end_of_input:
                return WaitEnd::end_of_input;
            case InputEvent::timeout:
                continue;
            case InputEvent::bytes:
                next_ = 0;
                end_ = got;
                break;
        }
    }
}

void KeyInput::drop_typed_ahead() {
    if (!terminal_) return;
    next_ = end_ = 0;
    discard_typed_ahead(input_fd_);
}
