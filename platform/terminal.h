#pragma once

// What the status line needs to know of the console it may draw on. Main thread.

// True when standard error is a terminal (a console on Windows) that takes the cursor sequences the status
// line draws with: ESC 7 / ESC 8 (save and restore the cursor), ESC M (up one row), CSI B (down one row),
// CSI K and CSI 2K (erase). On Windows this switches the console's virtual terminal processing on for
// standard error, and is false where the console can't have it (before Windows 10). False for a pipe or file.
bool stderr_takes_cursor_sequences();

// The terminal's width in columns, as standard error's terminal reports it; 80 when it reports none.
int stderr_columns();

// True when standard input is a terminal that shows the person's keys (echo on): the Enter that ends a take
// has then moved the cursor to the start of the next row before the program reads it.
bool input_echoes_keys();
