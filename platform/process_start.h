#pragma once

// Sets the process up before the program does anything else (main thread, first thing in main): on
// Windows, no critical-error dialog box ever waits for the person (a drive with no disk in it, a card reader
// or DVD drive behind D:, fails the call instead, and the program says so), and std::cout and std::cerr show
// text exactly on a console (show_console_text_exactly()). On POSIX, the latter only.
void prepare_process();

// True when the console window closes as this process ends, so that a last message would vanish with it: on
// Windows, a program started from Explorer, whose console no other process shares, with standard input that
// console. Always false on POSIX, where the terminal outlives the program. Any thread.
bool console_closes_with_process();
