#include "audio/journal_sync.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Waits (briefly: a sync of a small file takes milliseconds) until `done` holds.
template <typename Predicate>
bool eventually(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(JournalSync, WhatWasAskedReachesStableStorageAndLaterAsksAreTakenTogether) {
    const fs::path path = fs::temp_directory_path() / ("journal_sync_test_" + std::to_string(::getpid()));
    FileHandle file;
    ASSERT_EQ(create_exclusive(path.string(), file), 0);
    JournalSync sync;
    sync.start(file);
    for (std::uint64_t samples = 4800; samples <= 96000; samples += 4800) sync.request(samples);
    EXPECT_TRUE(eventually([&] { return sync.synced() == 96000; })) << sync.synced();
    EXPECT_EQ(sync.failure(), 0);
    sync.stop();
    // A new journal starts from nothing.
    sync.start(file);
    EXPECT_EQ(sync.synced(), 0u);
    sync.stop();
    close_file(file);
    fs::remove(path);
}

TEST(JournalSync, AFailedSyncIsReportedAndNothingIsClaimedSynced) {
    // A pipe cannot be synced: the failure must reach the writer rather than pass for stable storage.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    JournalSync sync;
    sync.start(FileHandle{ends[1]});
    sync.request(48000);
    EXPECT_TRUE(eventually([&] { return sync.failure() != 0; }));
    EXPECT_EQ(sync.failure(), EINVAL);
    EXPECT_EQ(sync.synced(), 0u);
    sync.stop();
    ::close(ends[0]);
    ::close(ends[1]);
}

}  // namespace
