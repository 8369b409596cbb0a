#include "server/adaptation/profile_swap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "server/adaptation/voice_profile.h"

namespace server {
namespace fs = std::filesystem;

namespace {

fs::path profile_path(const std::string& voice_dir) { return voice_profile_name(voice_dir); }

fs::path sibling(const fs::path& voice, const std::string& suffix) { return voice.string() + suffix; }

// Whether anything, even a dangling link, has that name.
bool present(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool is_link(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

[[noreturn]] void fail(const std::string& what, const fs::path& path, int error) {
    throw std::runtime_error("cannot " + what + " " + path.string() + ": " + std::strerror(error));
}

void remove_tree(const fs::path& path) {
    std::error_code error;
    fs::remove_all(path, error);  // a link is removed, never followed
    if (error) throw std::runtime_error("cannot remove " + path.string() + ": " + error.message());
}

void sync_path(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) fail("open", path, errno);
    const int synced = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (synced != 0) fail("sync", path, error);
}

// Every file and folder the adaptation wrote, on stable storage before a link names them.
void sync_tree(const fs::path& root) {
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_symlink()) continue;
        if (entry.is_regular_file() || entry.is_directory()) sync_path(entry.path());
    }
    sync_path(root);
}

// The versions beside the profile, `NAME.vN`, by N.
std::vector<std::pair<unsigned long, fs::path>> versions(const fs::path& voice) {
    std::vector<std::pair<unsigned long, fs::path>> found;
    const std::string prefix = voice.filename().string() + ".v";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(voice.parent_path(), error)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix) || name.size() == prefix.size() || name.size() > prefix.size() + 9)
            continue;
        if (name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) continue;
        found.emplace_back(std::stoul(name.substr(prefix.size())), entry.path());
    }
    return found;
}

// The version `voice` links to, if it links to one.
fs::path linked_version(const fs::path& voice) {
    if (!is_link(voice)) return {};
    std::error_code error;
    const fs::path target = fs::read_symlink(voice, error);
    if (error || target.has_parent_path()) return {};
    return voice.parent_path() / target;
}

void remove_versions_but(const fs::path& voice, const fs::path& keep, const fs::path& also_keep) {
    for (const auto& [number, path] : versions(voice)) {
        if (path != keep && path != also_keep) remove_tree(path);
    }
}

// A kill between the two renames of a swap without the exchange leaves no profile, the new one named
// `NAME.new` and the old one `NAME.old`: the new one goes into place (one rename, whoever does it first),
// or else the old one back.
void finish_interrupted_swap(const fs::path& voice, const WholePart& is_whole) {
    if (present(voice)) return;
    for (const char* suffix : {".new", ".old"}) {
        const fs::path candidate = sibling(voice, suffix);
        if (is_whole(candidate.string()) && std::rename(candidate.c_str(), voice.c_str()) == 0) {
            sync_path(voice.parent_path());
            return;
        }
    }
}

// Renames `from` over `to`; a reader finishing the same swap may have done it already.
void rename_into_place(const fs::path& from, const fs::path& to, const fs::path& version) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return;
    const int error = errno;
    if (error == ENOENT && linked_version(to) == version) return;
    fail("move the new profile to", to, error);
}

}  // namespace

std::string find_voice_profile(const std::string& voice_dir) {
    return find_profile_part(voice_dir, is_voice_profile);
}

std::string find_profile_part(const std::string& voice_dir, const WholePart& is_whole) {
    if (voice_dir.empty()) return "";
    const fs::path voice = profile_path(voice_dir);
    try {
        finish_interrupted_swap(voice, is_whole);
    } catch (const std::exception&) {
        // Finishing is a courtesy of readers; what is in place is still read.
    }
    if (!is_whole(voice.string())) return "";
    std::error_code error;
    const fs::path resolved = fs::canonical(voice, error);
    return error ? voice.string() : resolved.string();
}

void replace_voice_profile(const std::string& stage_dir, const std::string& voice_dir,
                           const std::function<void(const char* step)>& before_step, bool exchange) {
    const auto step = [&](const char* name) {
        if (before_step) before_step(name);
    };
    const fs::path voice = profile_path(voice_dir);
    std::error_code error;
    fs::create_directories(voice.parent_path(), error);
    if (error) fail("create", voice.parent_path(), error.value());

    unsigned long next = 1;
    for (const auto& [number, path] : versions(voice)) next = std::max(next, number + 1);
    const fs::path version = sibling(voice, ".v" + std::to_string(next));
    step("name the version");
    if (std::rename(stage_dir.c_str(), version.c_str()) != 0) fail("move the new profile to", version, errno);
    sync_tree(version);

    const fs::path link = sibling(voice, ".new");
    step("make the link");
    remove_tree(link);
    if (::symlink(version.filename().c_str(), link.c_str()) != 0) fail("link", link, errno);

    const fs::path previous = linked_version(voice);
    struct stat info {};
    const bool plain_folder = ::lstat(voice.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    if (!plain_folder) {
        step("link the new version");
        rename_into_place(link, voice, version);
        sync_path(voice.parent_path());
        step("remove older versions");
        remove_versions_but(voice, version, previous);
        return;
    }
    // A profile from before versions: its folder and the link trade names in one step, where the file
    // system can; then the link's name holds the old folder.
    fs::path old = link;
    step("exchange the folder for the link");
    if (!exchange || ::renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, voice.c_str(), RENAME_EXCHANGE) != 0) {
        if (exchange && errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
            fail("exchange the new profile with", voice, errno);
        old = sibling(voice, ".old");
        remove_tree(old);
        step("move the folder aside");
        if (std::rename(voice.c_str(), old.c_str()) != 0) fail("move aside", voice, errno);
        step("link the new version");
        rename_into_place(link, voice, version);
    }
    sync_path(voice.parent_path());
    step("remove the old folder");
    remove_tree(old);
}

void tidy_voice_profile(const std::string& voice_dir) { tidy_profile_part(voice_dir, is_voice_profile); }

void tidy_profile_part(const std::string& voice_dir, const WholePart& is_whole) {
    const fs::path voice = profile_path(voice_dir);
    finish_interrupted_swap(voice, is_whole);
    for (const char* suffix : {".new", ".old"}) {
        // Left by a swap that ended, or one whose new profile never went into place; one still holding the
        // only profile (it could not be renamed back) stays.
        const fs::path left = sibling(voice, suffix);
        if (present(voice) || !is_whole(left.string())) remove_tree(left);
    }
    remove_versions_but(voice, linked_version(voice), {});
}

}  // namespace server
