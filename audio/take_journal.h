#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/durable_file.h"

// The take on disk while it records, so that a closed terminal, kill -9, a crash or a power cut loses at
// most the last moment of it.
//
// The journal is a WAV file named "<timestamp>_unfinished_<pid>.wav" (a name no finished take has) in the
// take's folder. It is a valid WAV at every moment: samples are written first and the header's sizes after
// them, so a reader never meets a size that claims more than is there. Its data reaches stable storage
// about once per second of audio. While this object holds it, a lock on it tells other dictate processes
// that its owner is alive.
//
// When the folder cannot be written, or the disk fills mid-take, the journal stops and keeps a truthful
// WAV of the whole samples it managed to write (or no file at all if that is none); the take then goes on
// in memory only. Failures are kept for the caller, never printed. Main thread only.
class TakeJournal {
public:
    static constexpr const char* marker = "_unfinished_";
    // Audio between two syncs: the most a power cut can take from the end of a take.
    static constexpr std::uint64_t sync_every_samples = 48000;

    TakeJournal();
    ~TakeJournal();  // closes the file, leaving it where it is
    TakeJournal(const TakeJournal&) = delete;
    TakeJournal& operator=(const TakeJournal&) = delete;

    // Starts the journal of a take that began at `timestamp`, in `directory` (which ends with '/').
    // Returns 0, or the OS's error number when there is no journal for this take.
    int open(const std::string& directory, const std::string& timestamp);

    // Adds samples to the end of the take and brings the header up to date. Does nothing once stopped.
    void append(const float* samples, std::size_t count);

    // True while a journal file exists for the take (possibly stopped by a failure).
    bool has_file() const { return file_.open(); }
    // The OS's error number that stopped the journal, or 0.
    int failure() const { return failure_; }
    std::uint64_t samples_on_disk() const { return samples_; }
    const std::string& path() const { return path_; }

    // Syncs the journal and renames it to `final_path` without replacing anything there; then syncs the
    // folder. Returns 0 (the journal is done with), EEXIST (nothing changed: try another name) or another
    // error number (the journal stays as it is).
    int finish_as(const std::string& final_path);

    // Removes the journal: for a take that is not kept.
    void discard();

private:
    void stop(int error, std::uint64_t file_length);

    FileHandle file_;
    std::string directory_;
    std::string path_;
    std::uint64_t samples_ = 0;
    std::uint64_t synced_samples_ = 0;
    int failure_ = 0;
    std::unique_ptr<std::uint16_t[]> pcm_;  // conversion space, made once
};
