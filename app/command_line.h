#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/text_delivery.h"

// What the person asked for on the command line. With no arguments (and no DICTATE_DEVICE), a run records
// from the default input device with the status line shown when standard error is a terminal.
struct CommandLine {
    enum class Action { record, help, version, list_devices, refuse };
    Action action = Action::record;
    std::string device;  // --device, else DICTATE_DEVICE: a name or an index; empty: the default input device
    bool quiet = false;  // --quiet: no status line
    DeliveryChoice delivery;  // --copy, --type, --type-newlines (which needs --type)
    std::string server;  // --server, else DICTATE_SERVER: where takes go; empty: the bundled server's address
    std::string model;   // --model: asked of a server of the widespread API; empty: its default
    double auto_stop = 0;  // --auto-stop: seconds of quiet after speech that end a take; 0: only Enter does
    std::string problem;   // for refuse: what is wrong, worded for tell_user()
};

// Exit status for a command line that can't be followed: an unknown option, a missing value, an input device
// that isn't there or isn't named unambiguously.
inline constexpr int usage_status = 2;

// Reads the arguments after the program's name. `device_variable` and `server_variable` are DICTATE_DEVICE's
// and DICTATE_SERVER's values (null or empty: not set). `file_arguments` come from the configuration file,
// each as "--name=VALUE" (a flag's value is true, false, yes or no): the variables win over them, and the
// arguments over both. --help wins over everything else that is valid; any invalid argument refuses the whole
// line, and so does a server address that can't be used for a run that records.
CommandLine read_command_line(const std::vector<std::string_view>& own_arguments, const char* device_variable,
                              const char* server_variable = nullptr,
                              const std::vector<std::string_view>& file_arguments = {});

// What --help and --version print, each ending with a line end. `config_path` is where the configuration file
// is looked for (empty: nowhere).
std::string help_text(std::string_view config_path);
std::string version_text();
