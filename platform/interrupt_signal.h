#pragma once

#include <string>

#include "platform/waitable.h"

// Requests to stop from outside the program. On POSIX: Ctrl-C (SIGINT), SIGTERM and SIGHUP (the terminal
// closed, an SSH session dropped); SIGPIPE is ignored, so that output to a terminal or pipe that has gone
// away fails as a write (EPIPE) instead of ending the program before the take is safe. On Windows: Ctrl-C
// and Ctrl-Break (reported as SIGINT) and the console window closing, logoff or shutdown (reported as
// SIGHUP; Windows ends the process a few seconds after such an event, so the take must be finished by then).
// The first request asks the program to finish the current take (keep, write and transcribe it) and then
// stop; a second one ends the process at once, except a SIGHUP after a SIGHUP, which is the same hang-up
// delivered twice.
//
// install_interrupt_handlers() must run on the main thread before any other thread exists. It returns what
// went wrong setting them up (the call and the reason), empty on success; the program then runs without
// them. A second call does nothing.
std::string install_interrupt_handlers();

// Becomes ready once an interrupt has been asked for and stays ready; no_waitable before installation.
Waitable interrupt_waitable();

// True once an interrupt has been asked for, also one sent but not yet taken by any thread (its handler is
// then waited for, at most a second), so that an interrupt that comes with the end of input is not missed.
bool interrupt_requested();

// The exit status that reports the interrupt: 128 + the signal's number (130, 143, 129).
int interrupt_exit_status();
