#include "server/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Row {
    std::vector<std::string_view> args;
    // Expected outcome: a usage error, help, or these options.
    enum { options, help, error } outcome;
    server::Options expected;
};

server::Options with(std::string host, int port, std::uint64_t max_bytes, std::string dir, bool raw = false,
                     std::string voice = "", std::vector<std::string> adapt = {}) {
    server::Options options;
    options.host = std::move(host);
    options.port = port;
    options.max_upload_bytes = max_bytes;
    options.model_dir = std::move(dir);
    options.raw_words = raw;
    options.voice_dir = std::move(voice);
    options.adapt_dirs = std::move(adapt);
    return options;
}

server::Options whole_uploads(server::Options options) {
    options.streaming = false;
    return options;
}

server::Options in_profile(server::Options options, std::string profile,
                           std::vector<std::string> texts = {}) {
    options.profile_dir = std::move(profile);
    options.learn_text_paths = std::move(texts);
    return options;
}

server::Options with_words(server::Options options, std::string file) {
    options.words_file = std::move(file);
    return options;
}

server::Options without_profile(server::Options options) {
    options.no_profile = true;
    return options;
}

TEST(Options, ParsesCommandLines) {
    const std::uint64_t default_max = 692'000'000;
    const std::vector<Row> rows{
        {{}, Row::options, with("127.0.0.1", 4999, default_max, "/model")},
        {{"--port", "0"}, Row::options, with("127.0.0.1", 0, default_max, "/model")},
        {{"--port=8080", "--host", "::1"}, Row::options, with("::1", 8080, default_max, "/model")},
        {{"--max-upload-mb", "1.5", "--model-dir", "/m"},
         Row::options,
         with("127.0.0.1", 4999, 1'500'000, "/m")},
        {{"--raw-words", "--port", "0"}, Row::options, with("127.0.0.1", 0, default_max, "/model", true)},
        {{"--raw-words=yes"}, Row::error, {}},
        {{"--no-streaming"}, Row::options, whole_uploads(with("127.0.0.1", 4999, default_max, "/model"))},
        {{"--no-streaming=1"}, Row::error, {}},
        {{"--voice", "/v", "--adapt", "/a", "--adapt=/b"},
         Row::options,
         with("127.0.0.1", 4999, default_max, "/model", false, "/v", {"/a", "/b"})},
        {{"--voice="}, Row::error, {}},
        {{"--no-profile"}, Row::options, without_profile(with("127.0.0.1", 4999, default_max, "/model"))},
        {{"--no-profile=yes"}, Row::error, {}},
        {{"--no-profile", "--voice", "/v"}, Row::error, {}},
        {{"--adapt", "/a", "--no-profile"}, Row::error, {}},
        {{"--adapt"}, Row::error, {}},
        {{"--profile", "/p", "--learn-text", "/t", "--learn-text=/u.md"},
         Row::options,
         in_profile(with("127.0.0.1", 4999, default_max, "/model"), "/p", {"/t", "/u.md"})},
        {{"--learn-text", "/t", "a.md", "--profile", "/p"},
         Row::options,
         in_profile(with("127.0.0.1", 4999, default_max, "/model"), "/p", {"/t", "a.md"})},
        {{"--profile", "/p", "--voice", "/v"},
         Row::options,
         in_profile(with("127.0.0.1", 4999, default_max, "/model", false, "/v"), "/p")},
        {{"--profile="}, Row::error, {}},
        {{"--learn-text"}, Row::error, {}},
        {{"--no-profile", "--profile", "/p"}, Row::error, {}},
        {{"--learn-text", "/t", "--no-profile"}, Row::error, {}},
        {{"--learn-text", "/t", "--adapt", "/a"}, Row::error, {}},
        {{"--words", "/w.txt"},
         Row::options,
         with_words(with("127.0.0.1", 4999, default_max, "/model"), "/w.txt")},
        {{"--words=my words.txt"},
         Row::options,
         with_words(with("127.0.0.1", 4999, default_max, "/model"), "my words.txt")},
        {{"--words="}, Row::error, {}},
        {{"--words"}, Row::error, {}},
        {{"--port", "4000", "--help"}, Row::help, {}},
        {{"-h"}, Row::help, {}},
        {{"--port"}, Row::error, {}},
        {{"--port", "65536"}, Row::error, {}},
        {{"--port", "-1"}, Row::error, {}},
        {{"--port", "80x"}, Row::error, {}},
        {{"--max-upload-mb", "0"}, Row::error, {}},
        {{"--max-upload-mb", "nan"}, Row::error, {}},
        {{"--model-dir="}, Row::error, {}},
        {{"--verbose"}, Row::error, {}},
        {{"4999"}, Row::error, {}},
    };
    for (const Row& row : rows) {
        std::string line;
        for (auto arg : row.args) line += std::string(arg) + " ";
        SCOPED_TRACE(line);
        const auto parsed = server::parse_options(row.args, "/model");
        if (row.outcome == Row::help) {
            EXPECT_TRUE(std::holds_alternative<server::ShowHelp>(parsed));
        } else if (row.outcome == Row::error) {
            ASSERT_TRUE(std::holds_alternative<server::UsageError>(parsed));
            EXPECT_FALSE(std::get<server::UsageError>(parsed).message.empty());
        } else {
            ASSERT_TRUE(std::holds_alternative<server::Options>(parsed));
            const auto& options = std::get<server::Options>(parsed);
            EXPECT_EQ(options.host, row.expected.host);
            EXPECT_EQ(options.port, row.expected.port);
            EXPECT_EQ(options.max_upload_bytes, row.expected.max_upload_bytes);
            EXPECT_EQ(options.model_dir, row.expected.model_dir);
            EXPECT_EQ(options.raw_words, row.expected.raw_words);
            EXPECT_EQ(options.streaming, row.expected.streaming);
            EXPECT_EQ(options.voice_dir, row.expected.voice_dir);
            EXPECT_EQ(options.no_profile, row.expected.no_profile);
            EXPECT_EQ(options.adapt_dirs, row.expected.adapt_dirs);
            EXPECT_EQ(options.profile_dir, row.expected.profile_dir);
            EXPECT_EQ(options.learn_text_paths, row.expected.learn_text_paths);
            EXPECT_EQ(options.words_file, row.expected.words_file);
        }
    }
}

}  // namespace
