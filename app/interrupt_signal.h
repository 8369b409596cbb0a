#pragma once

// Ctrl-C (SIGINT) and SIGTERM: the first asks the program to finish the current take (keep, write and
// transcribe it) and then stop; a second one ends the process at once.
//
// install_interrupt_handlers() must run on the main thread before any other thread exists.
void install_interrupt_handlers();

// A descriptor that becomes readable once an interrupt has been asked for and stays readable. -1 before
// installation.
int interrupt_fd();

// True once an interrupt has been asked for.
bool interrupt_requested();

// The exit status that reports the interrupt: 128 + the signal's number.
int interrupt_exit_status();
