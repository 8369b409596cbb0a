#pragma once

#include <functional>

enum class WaitEnd {
    key,              // a key arrived; the rest of its line has been read and dropped
    end_of_input,     // standard input is at its end (Ctrl-D, a closed pipe)
    interrupted,      // `interrupt_fd` became readable
    capture_stopped,  // `still_recording` turned false: the audio device went away
};

// Blocks until one of the WaitEnd events. Any key ends the wait, and the whole line it belongs to is
// consumed with it, so typing "ab" and Enter ends one take, not three. `interrupt_fd` may be -1.
// `still_recording` is asked a few times a second.
WaitEnd wait_for_key(int input_fd, int interrupt_fd, const std::function<bool()>& still_recording);
