#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/durable_file.h"

// Brings a journal's data to stable storage on a thread of its own, so that the thread that drains the audio
// ring never waits for the disk: on a disk whose syncs take seconds, sound still reaches the journal as it
// arrives, and only its stable copy lags.
//
// Threads: every member is for the one thread that writes the journal; the syncing thread is private. The
// file must stay open until stop() has returned.
class JournalSync {
public:
    JournalSync();
    ~JournalSync();  // stops, then ends the syncing thread
    JournalSync(const JournalSync&) = delete;
    JournalSync& operator=(const JournalSync&) = delete;

    // Starts looking after a new journal.
    void start(FileHandle file);

    // Asks, without waiting, that the journal's first `samples` samples (all written before the call)
    // reach stable storage. A sync under way finishes first; requests made meanwhile become one.
    void request(std::uint64_t samples);

    // The most samples known to be on stable storage, and the error of a sync that failed (or 0).
    std::uint64_t synced() const;
    int failure() const;

    // Waits for a sync under way, drops any that was only asked for, and lets go of the file, so the caller
    // may close it, or rename and sync it itself.
    void stop();

private:
    void run();

    mutable std::mutex lock_;
    std::condition_variable changed_;
    FileHandle file_;
    std::uint64_t wanted_ = 0;
    std::uint64_t synced_ = 0;
    int failure_ = 0;
    bool busy_ = false;
    bool ending_ = false;
    std::thread thread_;  // last: starts once everything it reads is made
};
