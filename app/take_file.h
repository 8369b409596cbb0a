#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/spare_folder.h"
#include "app/take_paths.h"
#include "app/take_names.h"
#include "audio/sample_buffer.h"
#include "audio/take_journal.h"

// What became of a take on disk once it ended.
struct KeptTake {
    ClaimedName name;           // the name it was given in the take folder, or the one that failed
    std::uint64_t samples = 0;  // the whole take's length
    int error = 0;              // why the take is not all under its name in the take folder, or 0
    std::string in_folder;      // the file in the take folder holding (part of) it: its name or its journal
    std::uint64_t samples_in_folder = 0;
    SpareFolder::Copy copy;  // the whole take in the spare folder, when it was needed (error 0)
    bool copy_tried = false;
    std::uint64_t lost = 0;   // samples no file holds, first ones first
    std::string output_path;  // the file that holds the take (or the most of it); empty: none does
};

// Makes the take's file under a name of its own in `paths`' WAV folder (take_names.h): the journal renamed
// when it has one (its samples are on disk already; a journal that stopped mid-take is first joined with
// `rest`, the samples that came after it), otherwise the take written from `rest`. Whatever of the take the
// take folder can't hold, the whole take is also written to the spare folder. Every file named is synced with
// its folder before it returns. Main thread, after the last of the take has been appended.
KeptTake keep_take(const TakePaths& paths, TakeJournal& journal, SampleBuffer& rest,
                   const std::string& timestamp, SpareFolder& spare);

// One line for the person about a take that is not all under its name, naming the files, the reasons and
// how much of the take is where.
std::string describe_failure(const KeptTake& kept);

// "12.3 s", or "478 samples" under a tenth of a second: a length of audio, for messages.
std::string seconds_of(std::uint64_t samples);

// The line that tells of a time `program` did not run (stopped and continued, a sleeping machine), after
// which `what_goes_on` ("the take", "the sentence's recording") goes on.
std::string pause_told(std::string_view program, std::chrono::milliseconds gap,
                       std::string_view what_goes_on);
