#pragma once

#include <string>

// Where the configuration file is: $XDG_CONFIG_HOME/dictate/config, else ~/.config/dictate/config on POSIX;
// %APPDATA%\dictate\config on Windows. UTF-8; empty when the variables don't say (no home folder).
std::string configuration_file_path();

struct ConfigurationFile {
    bool found = false;   // false: there is no file at the path, which is no error
    std::string bytes;    // the whole file, as it is
    std::string problem;  // set when the file is there but can't be read: the call and its reason
};

// Far more than any list of options needs; a larger file is refused rather than read into memory.
inline constexpr long max_configuration_bytes = 1 << 20;

// Reads the whole file at `path` (UTF-8); one that isn't a plain file, or is larger than the limit, is
// refused. Main thread; never throws except std::bad_alloc.
ConfigurationFile read_configuration_file(const std::string& path);
