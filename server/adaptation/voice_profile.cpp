#include "server/adaptation/voice_profile.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "server/profile_paths.h"

namespace server {
namespace fs = std::filesystem;

namespace {

constexpr const char* language_model = "en-us/en-us.lm.bin";
constexpr const char* dictionary = "en-us/cmudict-en-us.dict";

void check(const std::error_code& error, const std::string& what, const fs::path& path) {
    if (error) throw std::runtime_error("cannot " + what + " " + path.string() + ": " + error.message());
}

}  // namespace

std::string default_voice_dir() {
    const std::string profile = default_profile_dir();
    return profile.empty() ? "" : profile + "/voice";
}

std::string voice_profile_name(const std::string& voice_dir) {
    fs::path path = fs::absolute(voice_dir).lexically_normal();
    if (!path.has_filename()) path = path.parent_path();
    return path.string();
}

std::string acoustic_model_dir(const std::string& model_dir) { return model_dir + "/en-us/en-us"; }

bool is_voice_profile(const std::string& dir) {
    std::error_code ignored;
    return !dir.empty() && fs::is_regular_file(acoustic_model_dir(dir) + "/means", ignored);
}

void stage_voice_profile(const std::string& stage_dir, const std::string& stock_model_dir) {
    const fs::path stock = fs::absolute(stock_model_dir);
    std::error_code error;
    fs::create_directories(acoustic_model_dir(stage_dir), error);
    check(error, "create", acoustic_model_dir(stage_dir));
    for (const char* file : {language_model, dictionary}) {
        fs::create_symlink(stock / file, fs::path(stage_dir) / file, error);
        check(error, "link", fs::path(stage_dir) / file);
    }
    for (const auto& entry : fs::directory_iterator(acoustic_model_dir(stock.string()), error)) {
        const fs::path link = fs::path(acoustic_model_dir(stage_dir)) / entry.path().filename();
        fs::create_symlink(entry.path(), link, error);
        check(error, "link", link);
    }
    check(error, "list", acoustic_model_dir(stock.string()));
}

}  // namespace server
