#include "server/adaptation/tool_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace server {

std::string training_tool(const std::string& name) {
    const char* folder = std::getenv("DICTATE_TRAINING_TOOLS");
    return std::string(folder != nullptr && *folder != '\0' ? folder : DICTATE_TRAINING_TOOLS_DIR) + "/" +
           name;
}

void run_tool(const std::string& program, const std::vector<std::string>& args, const std::string& log_path) {
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("cannot wait for " + program + ": " + std::strerror(errno));
    }
    if (WIFSIGNALED(status)) {
        throw std::runtime_error(program + " was ended by signal " + std::to_string(WTERMSIG(status)) +
                                 " (its output is in " + log_path + ")");
    }
    if (WEXITSTATUS(status) != 0) {
        throw std::runtime_error(program + " failed with exit status " + std::to_string(WEXITSTATUS(status)) +
                                 " (its output is in " + log_path + ")");
    }
}

}  // namespace server
