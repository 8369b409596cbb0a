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

TEST(CommandLine, TypeNewlinesGoesOnlyWithType) {
    const CommandLine both = read_command_line({"--type-newlines", "--copy", "--type"}, nullptr);
    EXPECT_EQ(both.action, Action::record);
    EXPECT_TRUE(both.delivery.copy && both.delivery.type && both.delivery.type_newlines);
    const CommandLine plain = read_command_line({}, nullptr);
    EXPECT_FALSE(plain.delivery.copy || plain.delivery.type || plain.delivery.type_newlines);
    // Without --type it would either do nothing or type into a window no one asked to type into.
    const CommandLine alone = read_command_line({"--copy", "--type-newlines"}, nullptr);
    EXPECT_EQ(alone.action, Action::refuse);
    EXPECT_EQ(alone.problem, "--type-newlines goes with --type; dictate --help lists the options");
}

// The option wins over the variable; an address is judged only for a run that records, as a device is.
TEST(CommandLine, ServerAndModelAreReadAndAnAddressThatCantBeUsedIsRefused) {
    const std::string api = "https://speech.example/v1/audio/transcriptions";
    const struct {
        std::vector<std::string_view> arguments;
        const char* server_variable;
        std::string server_or_problem;  // a problem when the line is refused
    } rows[] = {
        {{"--server", api, "--model", "small.en"}, "http://elsewhere/transcribe", api},
        {{"--model=small.en"}, "http://[::1]:4999/transcribe", "http://[::1]:4999/transcribe"},
        {{"--server", "ftp://speech.example/", "--help"}, nullptr, "ftp://speech.example/"},
        {{"--server=ftp://x/"},
         nullptr,
         "--server 'ftp://x/' can't be used: dictate speaks http:// and https:// only"},
        {{},
         "localhost:4999",
         "DICTATE_SERVER 'localhost:4999' can't be used: it needs to begin with http:// or https://"},
        {{"--server", "http://a b/"},
         nullptr,
         "--server 'http://a b/' can't be used: it is not an address (Bad hostname)"},
        {{"--server"}, nullptr, "--server needs the address of a transcription server"},
        {{"--model", ""}, nullptr, "--model needs the name of a model"},
    };
    for (const auto& row : rows) {
        const CommandLine line = read_command_line(row.arguments, nullptr, row.server_variable);
        if (line.action == Action::refuse)
            EXPECT_EQ(line.problem, row.server_or_problem + "; dictate --help lists the options");
        else
            EXPECT_EQ(line.server, row.server_or_problem);
    }
    EXPECT_EQ(read_command_line({"--model", "small.en"}, nullptr).model, "small.en");
    EXPECT_EQ(read_command_line({"--model=base"}, nullptr).model, "base");
}

}  // namespace

// The file sets what a run always wants; the variables, set for one session, win over it, and the command
// line over both, a flag the file turns on included.
TEST(CommandLine, TheFileGivesWayToTheVariablesAndTheCommandLine) {
    const std::vector<std::string_view> file = {"--device=Headset", "--server=http://file/transcribe",
                                                "--copy=yes", "--quiet=true", "--type-newlines=true"};
    const CommandLine from_file = read_command_line({"--type"}, nullptr, nullptr, file);
    EXPECT_EQ(from_file.action, Action::record) << from_file.problem;
    EXPECT_EQ(from_file.device, "Headset");
    EXPECT_EQ(from_file.server, "http://file/transcribe");
    EXPECT_TRUE(from_file.delivery.copy && from_file.quiet && from_file.delivery.type_newlines);

    const CommandLine variables = read_command_line({}, "USB", "http://variable/transcribe",
                                                    {"--device=Headset", "--server=http://file/"});
    EXPECT_EQ(variables.device, "USB");
    EXPECT_EQ(variables.server, "http://variable/transcribe");
    const CommandLine empty_variables = read_command_line({}, "", "", {"--device=Headset"});
    EXPECT_EQ(empty_variables.device, "Headset");

    const CommandLine own = read_command_line({"--copy=no", "--type", "-d", "Mic", "--server", "http://own/"},
                                              "USB", "http://variable/", file);
    EXPECT_EQ(own.action, Action::record) << own.problem;
    EXPECT_FALSE(own.delivery.copy);
    EXPECT_EQ(own.device, "Mic");
    EXPECT_EQ(own.server, "http://own/");

    const CommandLine maybe = read_command_line({"--quiet=maybe"}, nullptr);
    EXPECT_EQ(maybe.action, Action::refuse);
    EXPECT_EQ(maybe.problem,
              "--quiet is true or false (or yes or no), not 'maybe'; dictate --help lists the options");
}

TEST(CommandLine, AutoStopTakesSecondsInRange) {
    struct Case {
        std::vector<std::string_view> arguments;
        double seconds;       // when read
        std::string problem;  // when refused
    };
    const std::vector<Case> cases = {
        {{"--auto-stop", "1.5"}, 1.5, ""},
        {{"--auto-stop=2"}, 2, ""},
        {{"--auto-stop", "0.1"}, 0.1, ""},
        {{"--auto-stop", "0"}, 0, "--auto-stop needs a number of seconds from 0.1 to 3600, not '0'"},
        {{"--auto-stop", "1.5s"}, 0, "--auto-stop needs a number of seconds from 0.1 to 3600, not '1.5s'"},
        {{"--auto-stop", "nan"}, 0, "--auto-stop needs a number of seconds from 0.1 to 3600, not 'nan'"},
        {{"--auto-stop", "3601"}, 0, "--auto-stop needs a number of seconds from 0.1 to 3600, not '3601'"},
        {{"--auto-stop"}, 0, "--auto-stop needs a number of seconds"},
    };
    for (const Case& c : cases) {
        const CommandLine line = read_command_line(c.arguments, nullptr);
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        if (c.problem.empty()) {
            EXPECT_EQ(line.action, CommandLine::Action::record);
            EXPECT_EQ(line.auto_stop, c.seconds);
        } else {
            EXPECT_EQ(line.action, CommandLine::Action::refuse);
            EXPECT_EQ(line.problem, c.problem + "; dictate --help lists the options");
        }
    }
    EXPECT_EQ(read_command_line({}, nullptr).auto_stop, 0);
}
