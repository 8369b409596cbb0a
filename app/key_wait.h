#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include "platform/waitable.h"

enum class WaitEnd {
    key,              // a line ended (Enter); the whole line has been read and dropped
    end_of_input,     // standard input is at its end (Ctrl-D, a closed pipe, a terminal gone) or unreadable
    interrupted,      // `interrupt` became ready
    capture_stopped,  // `keep_recording` returned false: the audio device went away
    speech_paused,    // never from a wait: the take's speech paused long enough to end it (take_recording.h)
};

// The person's keys on standard input (`input_fd`), read in blocks. What was read past the end of a line
// belongs to the takes after it and is kept for the next wait, so scripted input through a pipe keeps its
// meaning: each line ends the take that records when it is read. Main thread.
class KeyInput {
public:
    explicit KeyInput(int input_fd);

    // Blocks while a take records, until a line ends, input ends, an interrupt arrives or the recording
    // can't go on. Any line ends the wait, and all of it is consumed, so typing "ab" and Enter ends one take,
    // not three. `interrupt` may be no_waitable. A paste of any size is skipped a block at a time.
    //
    // `keep_recording` is the main thread's turn during the take: it is called about every `every` (read
    // again after each turn, so the turn may change it), also while a line is being typed, and returns
    // false when the device is lost.
    WaitEnd wait_for_take_end(Waitable interrupt, const std::function<bool()>& keep_recording,
                              const std::chrono::milliseconds& every = usual_turn);
    static constexpr std::chrono::milliseconds usual_turn{100};

    // On a terminal, throws away the lines typed since the last take ended (a key held down, Enter pressed
    // twice), so that they do not end the takes after it. Input from a pipe or a file is left as it is.
    void drop_typed_ahead();

private:
    // The line's end in what is held; false when none (the rest of the line is still to come).
    bool consume_to_line_end();

    int input_fd_;
    bool terminal_;
    std::vector<char> block_;
    std::size_t next_ = 0;  // what block_ holds and has not been consumed: [next_, end_)
    std::size_t end_ = 0;
};
