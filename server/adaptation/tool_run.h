#pragma once

#include <string>
#include <vector>

namespace server {

// Runs `program` (a path, or a name looked up on PATH) with `args` and waits for it. Its standard output
// and standard error are appended to `log_path`; standard input is /dev/null. Throws std::runtime_error
// naming the program and the reason (cannot start, ended by a signal, exit status) and pointing at the log
// when it does not exit with status 0. Blocks the calling thread; any thread.
void run_tool(const std::string& program, const std::vector<std::string>& args, const std::string& log_path);

// Where the speech-model training tools live: the folder Debian's package installs them into, unless
// DICTATE_TRAINING_TOOLS names another.
std::string training_tool(const std::string& name);

}  // namespace server
