#pragma once

#include <functional>

#include "platform/waitable.h"

enum class WaitEnd {
    key,              // a line ended (Enter); the whole line has been read and dropped
    end_of_input,     // standard input is at its end (Ctrl-D, a closed pipe, a terminal gone) or unreadable
    interrupted,      // `interrupt` became ready
    capture_stopped,  // `keep_recording` returned false: the audio device went away
};

// Blocks while a take records, until the line typed on `input_fd` ends, input ends, an interrupt arrives or
// the recording can't go on. Any line ends the wait, and all of it is consumed, so typing "ab" and Enter ends
// one take, not three. `interrupt` may be no_waitable.
//
// `keep_recording` is the main thread's turn during the take: it is called about every 100 ms, also while a
// line is being typed, and returns false when the device is lost. Main thread.
WaitEnd wait_for_take_end(int input_fd, Waitable interrupt, const std::function<bool()>& keep_recording);
