#include "app/transcript_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class TranscriptFile : public ::testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() / ("transcript_file_test_" + std::to_string(::getpid()));
    std::string folder() const { return dir.string() + "/"; }
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
};

TEST_F(TranscriptFile, TakenNamesAndLinksUnderThemAreLeftAsTheyAre) {
    std::ofstream(dir / "outside.txt") << "someone else's file";
    fs::create_symlink(dir / "outside.txt", dir / "06-12-2026_07-08-15_transcription.txt");
    fs::create_symlink(dir / "nowhere.txt", dir / "06-12-2026_07-08-15_2_transcription.txt");
    const SavedTranscript saved = save_transcript(folder(), "06-12-2026_07-08-15", "the words");
    EXPECT_EQ(saved.error, 0);
    EXPECT_EQ(saved.path, folder() + "06-12-2026_07-08-15_3_transcription.txt");
    EXPECT_EQ(read_file(saved.path), "the words\n");
    EXPECT_EQ(read_file(dir / "outside.txt"), "someone else's file");
    EXPECT_FALSE(fs::exists(dir / "nowhere.txt"));
}

// A file-size limit fails the write part way, as a full disk does.
TEST_F(TranscriptFile, TextThatDoesNotFitLeavesNoFileBehind) {
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 4;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const SavedTranscript saved = save_transcript(folder(), "06-12-2026_07-08-15", "the words");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
    EXPECT_EQ(saved.error, EFBIG);
    EXPECT_EQ(saved.path, folder() + "06-12-2026_07-08-15_transcription.txt");
    EXPECT_EQ(fs::directory_iterator(dir), fs::directory_iterator());
}

}  // namespace
