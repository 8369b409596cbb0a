#pragma once

// Ctrl-C (SIGINT), SIGTERM and SIGHUP (the terminal closed, an SSH session dropped): the first asks the
// program to finish the current take (keep, write and transcribe it) and then stop; a second one ends the
// process at once. SIGPIPE is ignored, so that output to a terminal or pipe that has gone away fails as a
// write (EPIPE) instead of ending the program before the take is safe.
//
// install_interrupt_handlers() must run on the main thread before any other thread exists. A failure to set
// them up is told to the person; the program then runs without them.
void install_interrupt_handlers();

// A descriptor that becomes readable once an interrupt has been asked for and stays readable. -1 before
// installation.
int interrupt_fd();

// True once an interrupt has been asked for.
bool interrupt_requested();

// The exit status that reports the interrupt: 128 + the signal's number (130, 143, 129).
int interrupt_exit_status();
