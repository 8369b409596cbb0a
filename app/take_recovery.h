#pragma once

#include "app/cycle_seams.h"

// Before the first take: every journal in the seams' WAV folder whose process is gone (killed, crashed, a
// power cut) becomes a take again. Each is cut back to its whole samples, named "<timestamp>_output.wav" (or
// "_2",
// ... when that is taken), announced in one "dictate: " line with its path and length, then shown with the
// usual "output_path: " line and transcribed like any take. Journals that a live dictate holds are left
// alone; one that holds no sound is removed; one that can't be recovered is left where it is and named in a
// message. Main thread.
void recover_unfinished_takes(const CycleSeams& seams);
