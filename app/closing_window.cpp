#include "app/closing_window.h"

#include <chrono>

#include "app/console_messages.h"
#include "platform/console_input.h"
#include "platform/interrupt_signal.h"
#include "platform/process_start.h"

int keep_window_for_reading(int status) {
    if (status == 0 || interrupt_requested() || !console_closes_with_process()) return status;
    tell_user("stopped by the error above; press Enter to close this window");
    constexpr int standard_input = 0;
    char byte = 0;
    for (;;) {
        const InputEvent event =
            next_input_byte(standard_input, interrupt_waitable(), std::chrono::hours(24), byte);
        if (event == InputEvent::byte && byte != '\n') continue;
        return status;
    }
}
