#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Action = CommandLine::Action;

struct Row {
    std::vector<std::string_view> arguments;
    const char* device_variable;
    Action action;
    std::string device;
    bool quiet;
};

TEST(CommandLine, OptionsAreRead) {
    const Row rows[] = {
        {{}, nullptr, Action::record, "", false},
        {{}, "", Action::record, "", false},
        {{}, "USB", Action::record, "USB", false},
        {{"--device", "Headset"}, "USB", Action::record, "Headset", false},
        {{"-d", "3", "-q"}, nullptr, Action::record, "3", true},
        {{"--device=Built-in Mic", "--quiet"}, nullptr, Action::record, "Built-in Mic", true},
        {{"--list-devices"}, nullptr, Action::list_devices, "", false},
        {{"--version", "--list-devices"}, nullptr, Action::version, "", false},
        {{"--device", "x", "--version", "--help"}, nullptr, Action::help, "x", false},
        {{"-h"}, nullptr, Action::help, "", false},
    };
    for (const Row& row : rows) {
        const CommandLine line = read_command_line(row.arguments, row.device_variable);
        SCOPED_TRACE(row.arguments.empty() ? "(none)" : std::string(row.arguments.front()));
        EXPECT_EQ(line.action, row.action);
        EXPECT_EQ(line.device, row.device);
        EXPECT_EQ(line.quiet, row.quiet);
        EXPECT_EQ(line.problem, "");
    }
}

TEST(CommandLine, WhatCantBeFollowedIsRefusedNamingItAndTheWayToHelp) {
    const std::pair<std::vector<std::string_view>, std::string> rows[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--help", "-x"}, "unknown option '-x'"},
        {{"notes.txt"}, "unexpected argument 'notes.txt'"},
        {{"--device"}, "--device needs the name or the number of an input device"},
        {{"-d", ""}, "-d needs the name or the number of an input device"},
        {{"--device="}, "--device= needs the name or the number of an input device"},
    };
    for (const auto& [arguments, problem] : rows) {
        const CommandLine line = read_command_line(arguments, nullptr);
        EXPECT_EQ(line.action, Action::refuse) << problem;
        EXPECT_EQ(line.problem.rfind(problem, 0), 0u) << line.problem;
        EXPECT_NE(line.problem.find("dictate --help"), std::string::npos) << line.problem;
    }
}

}  // namespace
