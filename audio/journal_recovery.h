#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/durable_file.h"

// Turning the journal of a take whose process is gone (kill -9, a crash, a power cut) back into a take.
// Main thread; the caller names and announces what comes back.

// The journals in `directory` (which ends with '/'), oldest take first, whoever owns them.
std::vector<std::string> find_journals(const std::string& directory);

// The timestamp a journal's name begins with.
std::string journal_timestamp(const std::string& journal_path);

struct RepairedJournal {
    enum class Outcome {
        repaired,       // `file` is a complete WAV of `samples` samples, open and locked for the caller
        in_use,         // its process is alive: left alone
        held_nothing,   // no sound had reached it: it was removed
        unrecoverable,  // not a journal this program can read, or the OS refused: left as it was
    };
    Outcome outcome = Outcome::unrecoverable;
    std::uint64_t samples = 0;
    FileHandle file;
    std::string reason;  // for unrecoverable
};

// Opens the journal without following links (a link, or anything but a regular file with one name, is
// unrecoverable and left as it is) and locks it, so no live process can be writing it; then cuts it back to
// its whole samples under a header that states them (a crash may leave the header behind the data, or a
// sample cut in half), and syncs the data. The caller closes `file` once it has renamed the journal.
RepairedJournal repair_journal(const std::string& journal_path);
