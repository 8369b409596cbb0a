// The Windows file calls' ways with files that other programs hold, and their words for Windows' errors.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/durable_file.h"

namespace fs = std::filesystem;

namespace {

class HeldFile : public ::testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() / ("held_file_test_" + std::to_string(GetCurrentProcessId()));
    std::string held = (dir / "held.wav").string();
    std::string renamed = (dir / "renamed.wav").string();
    void SetUp() override {
        fs::create_directories(dir);
        std::ofstream(held, std::ios::binary) << "RIFF";
    }
    void TearDown() override { fs::remove_all(dir); }

    // Opens `path` as a scanner does, without letting others rename or delete it, for `milliseconds`.
    static std::thread hold_for(const std::string& path, DWORD milliseconds) {
        const HANDLE h = CreateFileW(fs::path(path).wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        return std::thread([h, milliseconds] {
            Sleep(milliseconds);
            CloseHandle(h);
        });
    }
};

TEST_F(HeldFile, RenameAndDeleteWaitForAProgramThatLetsGoSoon) {
    std::thread holder = hold_for(held, 300);
    EXPECT_EQ(rename_no_replace(held, renamed), 0);
    holder.join();
    EXPECT_TRUE(fs::exists(renamed));

    holder = hold_for(renamed, 300);
    EXPECT_EQ(remove_file(renamed), 0);
    holder.join();
    EXPECT_FALSE(fs::exists(renamed));
}

TEST_F(HeldFile, RenameGivesUpOnAFileHeldLongerAndSaysWhy) {
    std::thread holder = hold_for(held, 8000);
    const int error = rename_no_replace(held, renamed);
    holder.join();
    EXPECT_NE(error, 0);
    EXPECT_EQ(error_text(error).find("Unknown error"), std::string::npos) << error_text(error);
    EXPECT_TRUE(fs::exists(held));
    EXPECT_FALSE(fs::exists(renamed));
}

TEST(WindowsErrorText, AnErrorWithNoErrnoCounterpartIsToldInTheSystemsWordsWithItsCode) {
    const std::string text = error_text(-static_cast<int>(ERROR_NOT_READY));
    EXPECT_NE(text.find("(Windows error 21)"), std::string::npos) << text;
    EXPECT_GT(text.size(), std::string("(Windows error 21)").size() + 4) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    EXPECT_EQ(text.find("Unknown error"), std::string::npos) << text;
}

}  // namespace
