#pragma once

#include <string>
#include <string_view>
#include <vector>

// The options the configuration file sets, for read_command_line's `file_arguments`.
struct FileOptions {
    std::vector<std::string> arguments;  // "--name=VALUE", in the file's order
    std::string
        problem;  // the first bad line, worded for tell_user(): the file, the line's number, the reason
};

// Reads `text`, the file at `shown_path`, as UTF-8 lines "name = value" (spaces around either are dropped;
// a line whose first other character is '#' is a comment, as is a blank one). A line is bad when it isn't of
// that form, isn't UTF-8 text, holds a control character, or names an option the command line doesn't take
// that way (so --help, --version and --list-devices, which don't record, are refused too), or a value it
// doesn't take; the arguments are then empty. Any thread.
FileOptions read_file_options(std::string_view text, std::string_view shown_path);
