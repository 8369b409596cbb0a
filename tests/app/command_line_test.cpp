#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Action = CommandLine::Action;

TEST(CommandLine, OptionsAreReadAndWhatCantBeFollowedIsRefused) {
    const struct {
        std::vector<std::string_view> arguments;
        const char* device_variable;
        Action action;
        std::string device_or_problem;
    } rows[] = {
        {{}, "", Action::record, ""},
        {{}, "USB", Action::record, "USB"},
        {{"--device", "Headset", "-q"}, "USB", Action::record, "Headset"},
        {{"--device=Built-in Mic"}, nullptr, Action::record, "Built-in Mic"},
        {{"--device", "x", "--version", "--help"}, nullptr, Action::help, "x"},
        {{"--version", "-l"}, nullptr, Action::version, ""},
        {{"--help", "-x"}, nullptr, Action::refuse, "unknown option '-x'"},
        {{"notes.txt"},
         nullptr,
         Action::refuse,
         "unexpected argument 'notes.txt': dictate takes options only"},
        {{"-d", ""}, nullptr, Action::refuse, "-d needs the name or the number of an input device"},
        {{"--device="}, nullptr, Action::refuse, "--device= needs the name or the number of an input device"},
        {{"--device"}, nullptr, Action::refuse, "--device needs the name or the number of an input device"},
    };
    for (const auto& row : rows) {
        const CommandLine line = read_command_line(row.arguments, row.device_variable);
        EXPECT_EQ(line.action, row.action) << row.device_or_problem;
        if (line.action == Action::refuse) {
            EXPECT_EQ(line.problem, row.device_or_problem + "; dictate --help lists the options");
        } else {
            EXPECT_EQ(line.device, row.device_or_problem);
            EXPECT_EQ(line.problem, "");
        }
    }
    EXPECT_TRUE(read_command_line({"--quiet"}, nullptr).quiet);
}

TEST(CommandLine, ServerAndModelAreReadAndAnAddressThatCantBeUsedIsRefused) {
    const std::string api = "https://speech.example/v1/audio/transcriptions";
    const struct {
        std::vector<std::string_view> arguments;
        const char* server_variable;
        Action action;
        std::string server_or_problem;
        std::string model;
    } rows[] = {
        {{}, nullptr, Action::record, "", ""},
        {{},
         "http://127.0.0.1:8000/v1/audio/transcriptions",
         Action::record,
         "http://127.0.0.1:8000/v1/audio/transcriptions",
         ""},
        {{"--server", api, "--model", "small.en"},
         "http://elsewhere/transcribe",
         Action::record,
         api,
         "small.en"},
        {{"--server=http://[::1]:4999/transcribe", "--model=base"},
         nullptr,
         Action::record,
         "http://[::1]:4999/transcribe",
         "base"},
        // An address is judged only for a run that records, as a device is.
        {{"--server", "ftp://speech.example/", "--help"}, nullptr, Action::help, "ftp://speech.example/", ""},
        {{"--server", "ftp://speech.example/"},
         nullptr,
         Action::refuse,
         "--server 'ftp://speech.example/' can't be used: dictate speaks http:// and https:// only",
         ""},
        {{"-q"},
         "localhost:4999/transcribe",
         Action::refuse,
         "DICTATE_SERVER 'localhost:4999/transcribe' can't be used: it needs to begin with http:// or https://",
         ""},
        {{"--server", "http://two words/"},
         nullptr,
         Action::refuse,
         "--server 'http://two words/' can't be used: it is not an address (Bad hostname)",
         ""},
        {{"--server", "https://"},
         nullptr,
         Action::refuse,
         "--server 'https://' can't be used: it is not an address (No host part in the URL)",
         ""},
        {{"--server"}, nullptr, Action::refuse, "--server needs the address of a transcription server", ""},
        {{"--server="}, nullptr, Action::refuse, "--server= needs the address of a transcription server", ""},
        {{"--model", ""}, nullptr, Action::refuse, "--model needs the name of a model", ""},
        {{"--models", "x"}, nullptr, Action::refuse, "unknown option '--models'", ""},
    };
    for (const auto& row : rows) {
        const CommandLine line = read_command_line(row.arguments, nullptr, row.server_variable);
        EXPECT_EQ(line.action, row.action) << row.server_or_problem;
        if (line.action == Action::refuse) {
            EXPECT_EQ(line.problem, row.server_or_problem + "; dictate --help lists the options");
        } else {
            EXPECT_EQ(line.server, row.server_or_problem);
            EXPECT_EQ(line.model, row.model);
        }
    }
}

}  // namespace
