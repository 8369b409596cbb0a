#include "app/key_wait.h"

#include <algorithm>
#include <chrono>

#include "platform/console_input.h"

namespace {

constexpr auto check_interval = std::chrono::milliseconds(100);

}  // namespace

WaitEnd wait_for_take_end(int input_fd, Waitable interrupt, const std::function<bool()>& keep_recording) {
    using Clock = std::chrono::steady_clock;
    auto next_check = Clock::now() + check_interval;
    for (;;) {
        const auto now = Clock::now();
        if (now >= next_check) {
            if (!keep_recording()) return WaitEnd::capture_stopped;
            next_check = now + check_interval;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_check - Clock::now());
        char byte = 0;
        switch (next_input_byte(input_fd, interrupt, std::max(left, std::chrono::milliseconds(0)), byte)) {
            case InputEvent::interrupted:
                return WaitEnd::interrupted;
            case InputEvent::end_of_input:
                return WaitEnd::end_of_input;
            case InputEvent::timeout:
                continue;
            case InputEvent::byte:
                if (byte == '\n') return WaitEnd::key;
                break;
        }
    }
}
