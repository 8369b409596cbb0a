#pragma once

#include <cstdint>
#include <string>

#include "app/take_names.h"
#include "audio/sample_buffer.h"
#include "audio/take_journal.h"

// What became of a take on disk once it ended.
struct KeptTake {
    ClaimedName name;                   // its stem and WAV path (the path is announced whatever happened)
    int error = 0;                      // why not all of it is there, or 0
    std::uint64_t samples_on_disk = 0;  // whole samples in the file, which its header states
    bool file_kept = false;             // a valid WAV is at the path (possibly only part of the take)
    bool written_partly = false;        // the file was begun, so `error` came while writing it
    std::string left_at;                // where the take is instead, when it could not be given its name
};

// Makes the take's file under a name of its own: the journal renamed when it has one (its samples are on
// disk already), otherwise the take written from memory. File and folder are synced before it returns.
// Main thread, after the last of the take has been appended to both.
KeptTake keep_take(TakeJournal& journal, const SampleBuffer& recorded_samples, const std::string& timestamp);

// One line for the person about a take that is not all on disk, naming the file, the reason and how much of
// the take is there.
std::string describe_failure(const KeptTake& kept, std::uint64_t samples_in_take);

// "12.3 s", or "478 samples" under a tenth of a second: a length of audio, for messages.
std::string seconds_of(std::uint64_t samples);
