#include "server/profile_paths.h"

#include <cstdlib>

namespace server {

std::string default_profile_dir() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/')
        return std::string(data) + "/dictate";
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return std::string(home) + "/.local/share/dictate";
    return "";
}

std::string profile_dir(const Options& options) {
    if (options.no_profile) return "";
    return options.profile_dir.empty() ? default_profile_dir() : options.profile_dir;
}

std::string profile_voice_dir(const Options& options) {
    if (!options.voice_dir.empty()) return options.voice_dir;
    const std::string profile = profile_dir(options);
    return profile.empty() ? "" : profile + "/voice";
}

std::string profile_words_file(const Options& options) {
    const std::string profile = profile_dir(options);
    return profile.empty() ? "" : profile + "/words.txt";
}

std::string profile_language_dir(const Options& options) {
    const std::string profile = profile_dir(options);
    return profile.empty() ? "" : profile + "/language";
}

}  // namespace server
