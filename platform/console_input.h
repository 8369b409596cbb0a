#pragma once

#include <chrono>

#include "platform/waitable.h"

enum class InputEvent {
    byte,          // `byte` holds the next byte of input
    end_of_input,  // input is at its end (Ctrl-D or Ctrl-Z, a closed pipe, a terminal gone) or unreadable
    interrupted,   // `interrupt` is ready (it is checked before input, so it wins when both are)
    timeout,       // neither within `timeout`
};

// Waits up to `timeout` for the next byte on `input_fd` (a C runtime descriptor: a console, terminal, pipe or
// file) or for `interrupt` (no_waitable: none). Once end_of_input has been returned for a descriptor, it is
// returned again. Main thread.
//
// On Windows a reader thread of this module, started on the first call for a descriptor and living as long
// as the process, reads the descriptor's handle, since a console and a pipe can't both be waited on alike;
// what it has read and not yet handed out is kept for the next call. One descriptor per process.
InputEvent next_input_byte(int input_fd, Waitable interrupt, std::chrono::milliseconds timeout, char& byte);
