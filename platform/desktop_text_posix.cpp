#include "platform/desktop_text.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool variable_set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The program's path in the first folder of PATH that has it; empty when it is not installed. Only folders
// named from the root count: an empty or relative entry would run whatever of that name lies in the folder
// dictate was started in, the one that holds the takes.
std::string installed(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (true) {
        const std::size_t colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        const std::string candidate = std::string(dir) + "/" + std::string(name);
        struct stat info {};
        if (dir.starts_with('/') && ::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string_view::npos) return {};
        dirs.remove_prefix(colon + 1);
    }
}

struct Tool {
    std::string path;               // empty: none of the candidates is installed
    std::vector<std::string> args;  // after the program's name
};

// The first of the candidates (name and arguments) that is installed.
Tool first_installed(std::initializer_list<std::initializer_list<const char*>> candidates) {
    for (const auto& candidate : candidates) {
        std::string path = installed(*candidate.begin());
        if (path.empty()) continue;
        Tool tool{std::move(path), {}};
        for (auto argument = candidate.begin() + 1; argument != candidate.end(); ++argument)
            tool.args.emplace_back(*argument);
        return tool;
    }
    return {};
}

// Writes what is left of `input` that the pipe takes now. SIGPIPE, when the tool has gone, is held back and
// taken off again, so it neither ends the program nor lingers for a later caller.
bool write_some(int fd, std::string_view& input) {
    sigset_t pipe_signal, previous;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    const ssize_t written = ::write(fd, input.data(), input.size());
    const int error = errno;
    if (written < 0 && error == EPIPE && !was_pending) {
        const timespec no_wait{0, 0};
        sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (written > 0) input.remove_prefix(static_cast<std::size_t>(written));
    errno = error;
    return written >= 0 || error == EAGAIN || error == EINTR;
}

// Reads what the tool has written to its standard error so far, keeping the first 4 kB: a tool that says
// more is never stopped by a full pipe. At its end the pipe is closed and `fd` becomes -1, which poll skips.
void drain(int& fd, std::string& said) {
    if (fd < 0) return;
    char buffer[512];
    ssize_t got = 0;
    constexpr std::size_t kept = 4096;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
        const std::size_t room = said.size() < kept ? kept - said.size() : 0;
        said.append(buffer, std::min(room, static_cast<std::size_t>(got)));
    }
    if (got == 0) {
        ::close(fd);
        fd = -1;
    }
}

// The tool's own words: its standard error up to the first line end, at most a line's worth.
std::string first_line(const std::string& said) {
    std::string line = said.substr(0, said.find('\n'));
    if (line.size() > 200) line.resize(200);
    return line;
}

// Runs the tool with `input` on its standard input and waits for it to end, at most until `limit`. Its
// standard error is read while it runs, but not waited for after it ends: a tool that leaves a process
// behind to hold the clipboard leaves the pipe open with it.
DesktopResult run_tool(const Tool& tool, std::string_view input, std::chrono::milliseconds limit) {
    const std::string name = tool.path.substr(tool.path.rfind('/') + 1);
    auto failed = [&name](const std::string& why) {
        return DesktopResult{DesktopResult::Outcome::failed, name + ": " + why};
    };
    int to_tool[2], from_tool[2];
    if (::pipe2(to_tool, O_CLOEXEC) != 0) return failed(std::string("pipe: ") + std::strerror(errno));
    if (::pipe2(from_tool, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(to_tool[0]);
        ::close(to_tool[1]);
        return failed(std::string("pipe: ") + std::strerror(error));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_tool[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, from_tool[1], STDERR_FILENO);
    // The journal, sockets and locks of this process are none of the tool's business, nor of the process it
    // leaves behind to hold the clipboard.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv{const_cast<char*>(tool.path.c_str())};
    for (const auto& argument : tool.args) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, tool.path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_tool[0]);
    ::close(from_tool[1]);
    if (spawned != 0) {
        ::close(to_tool[1]);
        ::close(from_tool[0]);
        return failed(std::string("could not be started: ") + std::strerror(spawned));
    }
    ::fcntl(to_tool[1], F_SETFL, O_NONBLOCK);
    ::fcntl(from_tool[0], F_SETFL, O_NONBLOCK);

    const Clock::time_point deadline = Clock::now() + limit;
    int writing = to_tool[1], reading = from_tool[0];
    std::string said;
    int status = 0;
    bool ended = false;
    std::string trouble;
    while (true) {
        if (writing >= 0 && input.empty()) {
            ::close(writing);  // end of input: the tool takes what it has
            writing = -1;
        }
        if (::waitpid(child, &status, WNOHANG) == child) {
            ended = true;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        // Short turns: the tool's end is seen by waitpid, not by the pipes, which a process it leaves
        // behind may hold open.
        pollfd watched[2] = {{reading, POLLIN, 0}, {writing, POLLOUT, 0}};
        ::poll(watched, 2, static_cast<int>(std::min<long long>(left.count(), 2)));
        drain(reading, said);
        if (writing >= 0 && (watched[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0 &&
            !write_some(writing, input)) {
            trouble = std::string("writing the text to it failed: ") + std::strerror(errno);
            ::close(writing);
            writing = -1;
        }
    }
    if (writing >= 0) ::close(writing);
    if (!ended) {
        ::kill(-child, SIGKILL);  // the tool and whatever it started in its session
        ::waitpid(child, &status, 0);
        if (reading >= 0) ::close(reading);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(limit.count()) / 1000.0);
        return failed(std::string("was still running after ") + seconds + " s, and was stopped");
    }
    drain(reading, said);
    if (reading >= 0) ::close(reading);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && trouble.empty()) return {};
    std::string why = WIFEXITED(status) ? "ended with status " + std::to_string(WEXITSTATUS(status))
                                        : "was ended by signal " + std::to_string(WTERMSIG(status));
    if (!trouble.empty()) why = trouble;
    if (const std::string words = first_line(said); !words.empty()) why += " (" + words + ")";
    return failed(why);
}

constexpr const char* no_session =
    "there is no desktop session to reach (neither WAYLAND_DISPLAY nor DISPLAY is set)";

}  // namespace

DesktopResult put_on_clipboard(const std::string& text, std::chrono::milliseconds limit) {
    const bool wayland = variable_set("WAYLAND_DISPLAY"), x11 = variable_set("DISPLAY");
    if (!wayland && !x11)
        return {DesktopResult::Outcome::unavailable,
                std::string(no_session) + "; in one, install wl-clipboard (Wayland) or xclip (X11)"};
    Tool tool;
    if (wayland) tool = first_installed({{"wl-copy"}});
    if (tool.path.empty() && x11)
        tool = first_installed({{"xclip", "-selection", "clipboard"}, {"xsel", "--clipboard", "--input"}});
    if (tool.path.empty())
        return {DesktopResult::Outcome::unavailable, std::string("no clipboard tool is installed: install ") +
                                                         (wayland ? "wl-clipboard" : "xclip or xsel") +
                                                         " (a Debian package of that name)"};
    return run_tool(tool, text, limit);
}

DesktopResult type_into_focus(const std::string& keys, std::chrono::milliseconds limit) {
    const bool wayland = variable_set("WAYLAND_DISPLAY"), x11 = variable_set("DISPLAY");
    if (!wayland && !x11)
        return {DesktopResult::Outcome::unavailable,
                std::string(no_session) + "; in one, install xdotool (X11), or wtype or ydotool (Wayland)"};
    Tool tool;
    // 3 ms between keys: over 200 characters a second, and slow enough for the windows that drop keys sent
    // with no pause at all.
    if (wayland)
        tool = first_installed({{"wtype", "-"}, {"ydotool", "type", "--key-delay", "2", "--file", "-"}});
    if (tool.path.empty() && x11)
        tool = first_installed({{"xdotool", "type", "--delay", "3", "--file", "-"}});
    if (tool.path.empty())
        return {DesktopResult::Outcome::unavailable, std::string("no typing tool is installed: install ") +
                                                         (wayland ? "wtype or ydotool" : "xdotool") +
                                                         " (a Debian package of that name)"};
    return run_tool(tool, keys, limit);
}
