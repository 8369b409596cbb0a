#pragma once

#include "app/cycle_seams.h"

// First names, in one line each, the take and transcript folders that are missing or can't be written (see
// folder_check.h) and recovers the takes of earlier runs that ended mid-take (see take_recovery.h); then runs
// recording cycles until the program should end, and returns its exit status: 0 after the take that standard
// input's end closed, 128 + signal after the take that Ctrl-C, SIGTERM or SIGHUP closed, 1 when the audio
// library fails. Every take that captured audio is on disk before the function returns, in the take folder
// or, where that can't hold it, in the spare folder (spare_folder.h), and "output_path: " names the file
// that holds it; a take that input's end or an interrupt closed before any sound arrived is dropped, and an
// Enter that comes before any sound is ignored (one message says so; the take goes on). On a terminal, lines
// typed while a take is written or transcribed are dropped before the next prompt. Output that fails (a
// terminal gone) does not stop a take from being written and transcribed.
int run_recording_cycles(const CycleSeams& seams);
