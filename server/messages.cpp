#include "server/messages.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace server {

void say(std::string_view line) {
    static std::mutex mutex;
    const std::string text = "dictate-server: " + std::string(line) + "\n";
    std::lock_guard lock(mutex);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace server
