#include "app/file_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(FileOptions, LinesBecomeArgumentsAndCommentsAreSkipped) {
    const FileOptions options = read_file_options(
        "\xef\xbb\xbf# where takes go\r\n"
        "server = http://127.0.0.1:5000/v1/audio/transcriptions?a=b\r\n"
        "\n"
        "   \t# indented comment\n"
        "\tdevice=Built-in Mic  \n"
        "quiet = yes\n"
        "copy = false",
        "/home/a/.config/dictate/config");
    EXPECT_EQ(options.problem, "");
    EXPECT_EQ(options.arguments,
              (std::vector<std::string>{"--server=http://127.0.0.1:5000/v1/audio/transcriptions?a=b",
                                        "--device=Built-in Mic", "--quiet=yes", "--copy=false"}));
    EXPECT_TRUE(read_file_options("", "c").arguments.empty());
}

TEST(FileOptions, ABadLineIsToldWithTheFileItsNumberAndTheReason) {
    const struct {
        std::string text;
        std::string problem;
    } rows[] = {
        {"# comment\n\nquiet\n", "line 3: not of the form 'option = value'"},
        {"= x", "line 1: not of the form 'option = value'"},
        {"copy = true\ncolour = red", "line 2: 'colour' is not an option the file can set"},
        {"help = true", "line 1: 'help' is not an option the file can set"},
        {"list-devices = yes", "line 1: 'list-devices' is not an option the file can set"},
        {"--quiet = true", "line 1: '--quiet': an option is named without its dashes"},
        {"quiet = on", "line 1: --quiet is true or false (or yes or no), not 'on'"},
        {"device =", "line 1: --device= needs the name or the number of an input device"},
        {"server = localhost:4999",
         "line 1: --server 'localhost:4999' can't be used: it needs to begin with http:// or https://"},
        {"device = Mic\x1b[2J", "line 1: a control character"},
        {"device = Mic\xe9", "line 1: not UTF-8 text"},
        {"device = \xed\xa0\x80", "line 1: not UTF-8 text"},
    };
    for (const auto& row : rows) {
        const FileOptions options = read_file_options(row.text, "/c/config");
        EXPECT_EQ(options.problem, "configuration file /c/config, " + row.problem) << row.text;
        EXPECT_TRUE(options.arguments.empty()) << row.text;
    }
    // A well-formed character beyond ASCII is text like any other.
    EXPECT_EQ(read_file_options("device = Mikrofon \xc3\xa4", "c").problem, "");
}

}  // namespace
