#pragma once

#include <chrono>
#include <cstddef>

#include "platform/waitable.h"

enum class InputEvent {
    bytes,         // `got` bytes of input are in the buffer (at least one)
    end_of_input,  // input is at its end (Ctrl-D or Ctrl-Z, a closed pipe, a terminal gone) or unreadable
    interrupted,   // `interrupt` is ready (it is checked before input, so it wins when both are)
    timeout,       // neither within `timeout`
};

// Waits up to `timeout` for input on `input_fd` (a C runtime descriptor: a console, terminal, pipe or file)
// or for `interrupt` (no_waitable: none), and reads what is there, up to `capacity` bytes, into `buffer`:
// a paste of any size comes in blocks, not a byte per wait. Once end_of_input has been returned for a
// descriptor, it is returned again. Main thread.
//
// On Windows a reader thread of this module, started on the first call for a descriptor and living as long
// as the process, reads the descriptor's handle, since a console and a pipe can't both be waited on alike;
// what it has read and not yet handed out is kept for the next call. One descriptor per process.
InputEvent next_input(int input_fd, Waitable interrupt, std::chrono::milliseconds timeout, char* buffer,
                      std::size_t capacity, std::size_t& got);

// True when `input_fd` is a terminal (a console on Windows), where a person types, rather than a pipe or a
// file that a script fills.
bool input_is_terminal(int input_fd);

// Throws away what was typed on the terminal `input_fd` and not read yet (also what the Windows reader
// thread holds). Does nothing for anything but a terminal. Main thread.
void discard_typed_ahead(int input_fd);
