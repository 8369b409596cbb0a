#include "transcription/http_transfer.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/loopback_http_server.h"
#include "transcription/streaming_upload.h"

namespace {

using dictate_test::LoopbackHttpServer;
using dictate_test::ScriptedReply;
using transcription::Ending;
using transcription::ExchangeWatch;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

void note_signal(int) {}

ScriptedReply silent() {
    ScriptedReply reply;
    reply.action = ScriptedReply::Action::stay_silent;
    return reply;
}

// A take's stream and the finished file's upload can run at once on two threads, and a signal's
// disposition belongs to the whole process: a request that swapped it for its own while it ran and put
// it back after would, beside another doing the same, leave the process with whichever it saw last. So
// every request leaves it as it is. The test's own SIGPIPE handler stands for the program's.
class RequestsAndSignals : public testing::Test {
protected:
    void SetUp() override {
        struct sigaction mine {};
        mine.sa_handler = note_signal;
        sigemptyset(&mine.sa_mask);
        ASSERT_EQ(sigaction(SIGPIPE, &mine, &saved_), 0);
    }
    void TearDown() override { sigaction(SIGPIPE, &saved_, nullptr); }

    static bool still_ours() {
        struct sigaction now {};
        sigaction(SIGPIPE, nullptr, &now);
        return now.sa_handler == note_signal;
    }

private:
    struct sigaction saved_ {};
};

TEST_F(RequestsAndSignals, AnUploadLeavesThemAloneWhileItRuns) {
    const fs::path take =
        fs::temp_directory_path() / ("http_transfer_test_" + std::to_string(::getpid()) + ".wav");
    std::ofstream(take, std::ios::binary) << "RIFF....WAVE";
    LoopbackHttpServer server(silent());
    int polls = 0;
    bool ours = true;
    ExchangeWatch watch;
    watch.stop_requested = [&] {  // runs inside the transfer
        ++polls;
        ours = ours && still_ours();
        return true;
    };
    const auto outcome = transcription::exchange(server.url("/transcribe"), take.string(), watch);
    EXPECT_EQ(outcome.ending, Ending::stopped) << outcome.library_error;
    EXPECT_GT(polls, 0);
    EXPECT_TRUE(ours);
    EXPECT_TRUE(still_ours());
    fs::remove(take);
}

TEST_F(RequestsAndSignals, AStreamsQuestionLeavesThemAloneWhileItWaits) {
    LoopbackHttpServer server(silent());
    const auto asked = std::chrono::steady_clock::now();
    transcription::StreamingUpload upload(server.url("/transcribe"), "take_output.wav");
    while (server.requests().empty()) {
        ASSERT_LT(std::chrono::steady_clock::now() - asked, 20s) << "the server was never asked";
        std::this_thread::sleep_for(5ms);
    }
    const bool ours = still_ours();
    // The question waits 2 s for a server that says nothing; a look taken after that saw nothing of it.
    if (std::chrono::steady_clock::now() - asked >= 2s)
        GTEST_SKIP() << "the machine was too slow to look in time";
    EXPECT_TRUE(ours);
}

}  // namespace
