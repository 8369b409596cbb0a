#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/journal_sync.h"
#include "audio/sample_buffer.h"
#include "audio/wav_writer.h"
#include "platform/durable_file.h"

// The take on disk while it records, so that a closed terminal, kill -9, a crash or a power cut loses at
// most the last moment of it.
//
// The journal is a WAV file named "<timestamp>_unfinished_<pid>.wav" (a name no finished take has) in the
// take's folder. It is a valid WAV at every moment: samples are written first and the header's sizes after
// them, so a reader never meets a size that claims more than is there. Its data reaches stable storage
// about once per second of audio, synced on a thread of its own (journal_sync.h) so that a slow disk never
// holds up the caller. While this object holds it, a lock on it tells other dictate processes that its
// owner is alive. While it records, the journal is the take: nothing else keeps its samples.
//
// When the folder cannot be written, or the disk fills mid-take, the journal stops and keeps a truthful
// WAV of the whole samples it managed to write (or no file at all if that is none); the caller then keeps
// the rest of the take. Failures are kept for the caller, never printed. All members are for one thread,
// the one that drains the audio ring.
class TakeJournal {
public:
    static constexpr const char* marker = "_unfinished_";
    // Audio between two syncs: the most a power cut can take from the end of a take.
    static constexpr std::uint64_t sync_every_samples = WavHeader::sample_rate;

    TakeJournal();
    ~TakeJournal();  // closes the file, leaving it where it is
    TakeJournal(const TakeJournal&) = delete;
    TakeJournal& operator=(const TakeJournal&) = delete;

    // Starts the journal of a take that began at `timestamp`, in `directory` (which ends with '/').
    // Returns 0, or the OS's error number when there is no journal for this take.
    int open(const std::string& directory, const std::string& timestamp);

    // Adds samples to the end of the take and brings the header up to date, and asks for a sync once a
    // second of audio has no stable copy. Returns how many of the `count` samples are in the journal: all,
    // or fewer when it stopped (then and on every later call; the rest is the caller's to keep).
    std::size_t append(const float* samples, std::size_t count);

    // For a journal that stopped: tries once more to add `rest`, the samples that came after its last one,
    // so the take becomes one file. Returns 0 when all of them are in; otherwise the OS's error number, and
    // the journal is as it was before the call.
    int join(const SampleBuffer& rest);

    // Audio written but not yet known to be on stable storage: it grows when syncs fall behind.
    std::uint64_t unsynced_samples() const;
    // Samples the journal held before a failure made it remove its file (a header that could not be set
    // right): they are in no file and nowhere else.
    std::uint64_t samples_lost() const { return lost_; }

    // True while a journal file exists for the take (possibly stopped by a failure).
    bool has_file() const { return file_.open(); }
    // The OS's error number that stopped the journal, or 0.
    int failure() const { return failure_; }
    std::uint64_t samples_on_disk() const { return samples_; }
    const std::string& path() const { return path_; }
    // The open journal, for reading its samples back; the journal keeps it.
    FileHandle file() const { return file_; }

    // Syncs the journal (on this thread: the take must be over) and renames it to `final_path` without
    // replacing anything there; then syncs the folder. Returns 0 (the journal is done with), EEXIST (nothing
    // changed: try another name) or another error number (the journal stays as it is).
    int finish_as(const std::string& final_path);

    // Removes the journal: for a take that is not kept.
    void discard();

private:
    void stop(int error, std::uint64_t file_length);
    void let_go();

    FileHandle file_;
    std::string directory_;
    std::string path_;
    std::uint64_t samples_ = 0;
    std::uint64_t requested_samples_ = 0;
    std::uint64_t lost_ = 0;
    static constexpr std::uint64_t no_samples = ~std::uint64_t{0};
    std::uint64_t stable_samples_ = no_samples;  // what finish_as synced last
    int failure_ = 0;
    JournalSync sync_;
    std::unique_ptr<std::uint16_t[]> pcm_;  // conversion space, made once
};
