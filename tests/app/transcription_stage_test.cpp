// The transcription stage against real loopback servers: what it shows, saves and tells the person.
#include "app/transcription_stage.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/loopback_http_server.h"

namespace fs = std::filesystem;
using dictate_test::LoopbackHttpServer;
using dictate_test::ScriptedReply;

namespace {

ScriptedReply reply(int status, std::string reason, std::string body) {
    ScriptedReply scripted;
    scripted.status = status;
    scripted.reason = std::move(reason);
    scripted.body = std::move(body);
    return scripted;
}

std::string read_all(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class TranscriptionStage : public testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() / ("transcription_stage_test_" + std::to_string(::getpid()));
    std::string take;  // the recording sent; the servers here never look inside it
    std::ostringstream out;
    std::vector<std::string> told;
    bool interrupt = false;
    TranscriptionState state;

    void SetUp() override {
        fs::create_directories(dir / "text");
        take = (dir / "take_output.wav").string();
        std::ofstream(take, std::ios::binary) << "RIFF....WAVE";
    }
    void TearDown() override { fs::remove_all(dir); }

    void run(const std::string& endpoint, bool interrupted_first = false) {
        TakePaths paths;
        paths.transcript_folder = (dir / "text").string() + "/";
        const TranscriptionSeams seams{out,
                                       [&](std::string_view message) { told.emplace_back(message); },
                                       [&] { return interrupt; },
                                       paths,
                                       endpoint,
                                       [](std::string_view) {}};
        run_transcription_stage(take, "take", state, seams, interrupted_first);
    }
    fs::path transcript() const { return dir / "text" / "take_transcription.txt"; }
};

TEST_F(TranscriptionStage, TextIsShownEscapedAndSavedAsItCame) {
    LoopbackHttpServer server(reply(200, "OK", R"({"text":"two lines\nwith an \u001b escape"})"));
    run(server.url("/transcribe"));
    EXPECT_EQ(out.str(), "two lines\nwith an \\x1b escape\n");
    EXPECT_EQ(read_all(transcript()), "two lines\nwith an \x1b escape\n");
    EXPECT_TRUE(told.empty()) << testing::PrintToString(told);
}

// Each way of getting no text: nothing is shown or saved, and one line names the reason and the kept take.
TEST_F(TranscriptionStage, NoUsableTextIsOneLineNamingTheReasonAndTheKeptRecording) {
    struct Row {
        const char* name;
        ScriptedReply reply;
        const char* reason;  // what dictate's own words of the reason begin with
    };
    const std::vector<Row> rows = {
        {"500", reply(500, "Oops", R"({"error":"model not loaded"})"),
         "the transcription server at 127.0.0.1:PORT answered 500 Internal Server Error: model not loaded"},
        {"not JSON", reply(200, "OK", "<html>busy</html>"),
         "the transcription server's reply was unusable: "},
        {"no text member", reply(200, "OK", R"({"txt":"x"})"),
         "the transcription server's reply was unusable: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        out.str("");
        told.clear();
        LoopbackHttpServer server(row.reply);
        run(server.url("/transcribe"));
        std::string reason = row.reason;
        if (const auto port = reason.find("PORT"); port != std::string::npos)
            reason.replace(port, 4, std::to_string(server.port()));
        EXPECT_EQ(out.str(), "");
        EXPECT_FALSE(fs::exists(transcript()));
        ASSERT_EQ(told.size(), 1u) << testing::PrintToString(told);
        const std::string prefix = "could not get the text of this take: " + reason;
        const std::string suffix = "; the recording is kept at " + take;
        EXPECT_EQ(told[0].rfind(prefix, 0), 0u) << told[0];
        EXPECT_TRUE(told[0].size() >= suffix.size() &&
                    told[0].compare(told[0].size() - suffix.size(), suffix.size(), suffix) == 0)
            << told[0];
    }
}

TEST_F(TranscriptionStage, RefusedConnectionSaysNoServerIsRunningThere) {
    // A bound socket that never listens: connections to its port are refused, and no one else can take it.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string server = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    run("http://" + server + "/transcribe");
    close(fd);
    EXPECT_EQ(told, std::vector<std::string>{"could not get the text of this take: connection refused: no "
                                             "transcription server is running on " +
                                             server +
                                             ", or it is busy with as many clients as it serves; "
                                             "the recording is kept at " +
                                             take});
}

TEST_F(TranscriptionStage, TextThatCannotBeSavedIsStillShownAndTheFileNamed) {
    fs::remove_all(dir / "text");
    LoopbackHttpServer server(reply(200, "OK", R"({"text":"hello"})"));
    run(server.url("/transcribe"));
    EXPECT_EQ(out.str(), "hello\n");
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].rfind("could not save the text to " + transcript().string() + ": ", 0), 0u) << told[0];
}

// An interrupt after the take stops the wait; one that ended the take asked for its text, so it waits on.
TEST_F(TranscriptionStage, InterruptStopsTheWaitUnlessItCameWhileRecording) {
    ScriptedReply silent;
    silent.action = ScriptedReply::Action::stay_silent;
    {
        LoopbackHttpServer server(silent);
        interrupt = true;
        run(server.url("/transcribe"));
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(told[0],
                  "could not get the text of this take: stopped waiting for the transcription server at "
                  "127.0.0.1:" +
                      std::to_string(server.port()) + " on request; the recording is kept at " + take);
    }
    told.clear();
    LoopbackHttpServer server(reply(200, "OK", R"({"text":"finished"})"));
    run(server.url("/transcribe"), true);
    EXPECT_EQ(out.str(), "finished\n");
    EXPECT_TRUE(told.empty()) << testing::PrintToString(told);
}

}  // namespace
