#include "app/closing_window.h"

#include <chrono>
#include <string_view>

#include "app/console_messages.h"
#include "platform/console_input.h"
#include "platform/interrupt_signal.h"
#include "platform/process_start.h"

int keep_window_for_reading(int status) {
    if (status == 0 || interrupt_requested() || !console_closes_with_process()) return status;
    tell_user("stopped by the error above; press Enter to close this window");
    constexpr int standard_input = 0;
    char typed[256];
    for (;;) {
        std::size_t got = 0;
        const InputEvent event = next_input(standard_input, interrupt_waitable(), std::chrono::hours(24),
                                            typed, sizeof typed, got);
        if (event == InputEvent::bytes && std::string_view(typed, got).find('\n') == std::string_view::npos)
            continue;
        return status;
    }
}
