#include "server/adaptation/profile_swap.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "server/adaptation/profile_lock.h"

namespace {
namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A folder the recogniser would take for a profile, tagged so that a test can tell which one it reads.
void make_profile(const fs::path& dir, const std::string& tag) {
    fs::create_directories(dir / "en-us/en-us");
    std::ofstream(dir / "en-us/en-us/means") << tag;
    std::ofstream(dir / "profile.txt") << tag;
}

// What a server started now would decode with: the tag of the profile it finds, or "none".
std::string found_tag(const fs::path& voice) {
    const std::string dir = server::find_voice_profile(voice.string());
    return dir.empty() ? "none" : read_text(fs::path(dir) / "profile.txt");
}

struct Killed {};

class ProfileSwap : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ =
            fs::temp_directory_path() /
            ("dictate-swap-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
             "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Names beside the profile other than the profile itself and its lock.
    std::vector<std::string> leftovers(const fs::path& voice) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(voice.parent_path())) {
            const std::string name = entry.path().filename().string();
            if (name != "voice" && name != "voice.lock" && !name.starts_with("voice.v"))
                names.push_back(name);
        }
        return names;
    }

    fs::path dir_;
};

// A kill at any instant of a swap, simulated by stopping it before each of its steps in turn, leaves the old
// profile or the new one for a server started next, and the next adaptation finds that one and replaces it.
TEST_F(ProfileSwap, AKillAtEveryStepLeavesTheOldOrTheNewProfile) {
    enum class Before { nothing, plain_folder, linked_version, old_swap_cut_short };
    const struct {
        const char* name;
        Before before;
        bool exchange;
    } rows[] = {
        {"first profile", Before::nothing, true},
        {"plain folder", Before::plain_folder, true},
        {"plain folder, no exchange", Before::plain_folder, false},
        {"linked version", Before::linked_version, true},
        {"left between two renames by an older release", Before::old_swap_cut_short, true},
    };
    for (const auto& row : rows) {
        std::size_t steps_seen = 0;
        bool new_seen = false;
        for (std::size_t kill_at = 0;; ++kill_at) {
            SCOPED_TRACE(std::string(row.name) + ", killed before step " + std::to_string(kill_at));
            const fs::path root = dir_ / (std::string(row.name) + std::to_string(kill_at));
            const fs::path voice = root / "data/voice";
            std::string old_tag = "old";
            switch (row.before) {
                case Before::nothing:
                    old_tag = "none";
                    break;
                case Before::plain_folder:
                    make_profile(voice, "old");
                    break;
                case Before::linked_version:
                    make_profile(root / "stage0", "old");
                    server::replace_voice_profile((root / "stage0").string(), voice.string());
                    break;
                case Before::old_swap_cut_short:
                    make_profile(voice.string() + ".old", "older");
                    make_profile(voice.string() + ".new", "old");
                    break;
            }
            make_profile(root / "stage", "new");
            server::tidy_voice_profile(voice.string());  // as every adaptation starts
            EXPECT_EQ(found_tag(voice), old_tag);
            std::size_t step = 0;
            bool finished = false;
            try {
                server::replace_voice_profile((root / "stage").string(), voice.string(),
                                              [&](const char*) {
                                                  if (step++ == kill_at) throw Killed{};
                                              },
                                              row.exchange);
                finished = true;
            } catch (const Killed&) {
            }
            const std::string tag = found_tag(voice);
            EXPECT_TRUE(tag == old_tag || tag == "new") << tag;
            new_seen = new_seen || tag == "new";
            if (finished) {
                EXPECT_EQ(tag, "new");
                EXPECT_EQ(leftovers(voice), std::vector<std::string>{});
            }

            // The next adaptation starts from what the server found, and its swap leaves nothing else.
            server::tidy_voice_profile(voice.string());
            EXPECT_EQ(found_tag(voice), tag);
            EXPECT_EQ(leftovers(voice), std::vector<std::string>{});
            make_profile(root / "stage2", "newer");
            server::replace_voice_profile((root / "stage2").string(), voice.string(), {}, row.exchange);
            EXPECT_EQ(found_tag(voice), "newer");
            server::tidy_voice_profile(voice.string());
            EXPECT_EQ(found_tag(voice), "newer");
            std::size_t versions = 0;
            for (const auto& entry : fs::directory_iterator(voice.parent_path()))
                versions += entry.path().filename().string().starts_with("voice.v") ? 1 : 0;
            EXPECT_EQ(versions, 1u);
            if (finished) break;
            steps_seen = step;
        }
        EXPECT_GE(steps_seen, 3u) << row.name;
        EXPECT_TRUE(new_seen) << row.name;
    }
}

// The name a server loads from is the version itself, so a swap while it loads can't mix two profiles.
TEST_F(ProfileSwap, ReadersLoadTheVersionTheLinkNamedWhenTheyLooked) {
    const fs::path voice = dir_ / "voice";
    make_profile(dir_ / "stage1", "first");
    server::replace_voice_profile((dir_ / "stage1").string(), voice.string());
    const std::string loading = server::find_voice_profile(voice.string());
    make_profile(dir_ / "stage2", "second");
    server::replace_voice_profile((dir_ / "stage2").string(), voice.string());
    EXPECT_EQ(read_text(fs::path(loading) / "profile.txt"), "first");
    EXPECT_EQ(found_tag(voice), "second");
    // A plain folder, as profiles were before versions, and a trailing separator are read as they are.
    make_profile(dir_ / "plain", "plain");
    EXPECT_EQ(found_tag(dir_ / "plain/"), "plain");
    EXPECT_EQ(found_tag(dir_ / "missing"), "none");
}

TEST_F(ProfileSwap, OneAdaptationOfAProfileAtATime) {
    const fs::path voice = dir_ / "data/voice";
    std::optional<server::ProfileLock> first(std::in_place, voice.string() + "/");  // the same profile
    try {
        server::ProfileLock second(voice.string());
        ADD_FAILURE() << "a second lock was given";
    } catch (const std::runtime_error& failure) {
        EXPECT_EQ(std::string(failure.what()), "another adaptation of it is running (pid " +
                                                   std::to_string(::getpid()) + ", holding " +
                                                   voice.string() + ".lock)");
    }
    server::ProfileLock elsewhere((dir_ / "data/other").string());
    first.reset();
    EXPECT_NO_THROW(server::ProfileLock again(voice.string()));
}

}  // namespace
