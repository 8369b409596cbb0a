#include "audio/take_journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "audio/journal_recovery.h"
#include "audio/wav_writer.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), std::streamsize(bytes.size()));
}

std::vector<float> noise(std::size_t n) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> level(-1.2f, 1.2f);
    std::vector<float> v(n);
    for (float& s : v) s = level(random);
    return v;
}

class Journal : public ::testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() / ("take_journal_test_" + std::to_string(::getpid()));
    std::string folder() const { return dir.string() + "/"; }
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }

    // What write_wav makes of the first `count` samples: the bytes every finished take must have.
    std::string take_file(const std::vector<float>& samples, std::size_t count) {
        SampleBuffer buffer;
        buffer.append(samples.data(), count);
        const fs::path path = dir / "reference.wav";
        fs::remove(path);
        EXPECT_EQ(write_wav(path.string(), buffer).error, 0);
        return read_file(path);
    }
};

TEST_F(Journal, IsACompleteWavAfterEveryAppendAndFinishesAsTheTakeFile) {
    const auto samples = noise(70000);  // past one sync interval, in audio-thread-sized and odd pieces
    TakeJournal journal;
    ASSERT_EQ(journal.open(folder(), "06-12-2026_07-08-15"), 0);
    EXPECT_EQ(fs::path(journal.path()).filename().string(),
              "06-12-2026_07-08-15_unfinished_" + std::to_string(::getpid()) + ".wav");
    std::size_t done = 0;
    for (std::size_t piece : {1u, 511u, 4800u, 30000u, 34688u}) {
        journal.append(samples.data() + done, piece);
        done += piece;
        ASSERT_EQ(read_file(journal.path()), take_file(samples, done)) << done;
    }
    ASSERT_EQ(done, samples.size());
    const std::string final_path = folder() + "06-12-2026_07-08-15_output.wav";
    std::ofstream(final_path) << "an earlier take";
    EXPECT_EQ(journal.finish_as(final_path), EEXIST);
    EXPECT_EQ(read_file(final_path), "an earlier take");
    fs::remove(final_path);
    ASSERT_EQ(journal.finish_as(final_path), 0);
    EXPECT_EQ(read_file(final_path), take_file(samples, samples.size()));
    EXPECT_TRUE(find_journals(folder()).empty());
}

TEST_F(Journal, RecoversAJournalCutAtAnyByte) {
    // The header says 10 samples: a crash between writing samples and the header leaves it behind the data
    // (cuts past 10 samples), and a cut in the data leaves it ahead (cuts before).
    const auto samples = noise(40);
    std::string journal = take_file(samples, samples.size());
    journal.replace(0, 44, take_file(samples, 10).substr(0, 44));
    const fs::path path = dir / "06-12-2026_07-08-15_unfinished_1.wav";
    for (std::size_t cut = 0; cut <= journal.size(); ++cut) {
        write_file(path, journal.substr(0, cut));
        RepairedJournal repaired = repair_journal(path.string());
        close_file(repaired.file);
        const std::size_t kept = cut > 44 ? (cut - 44) / 2 : 0;
        if (kept == 0) {
            // Nothing of the take had reached it: no take to make, nothing to keep.
            EXPECT_EQ(repaired.outcome, RepairedJournal::Outcome::held_nothing) << cut;
            EXPECT_FALSE(fs::exists(path)) << cut;
        } else {
            EXPECT_EQ(repaired.outcome, RepairedJournal::Outcome::repaired) << cut;
            EXPECT_EQ(repaired.samples, kept) << cut;
            EXPECT_EQ(read_file(path), take_file(samples, kept)) << cut;
        }
    }
}

TEST_F(Journal, ForeignFileIsLeftInPlaceAndALiveJournalAlone) {
    const fs::path foreign = dir / "06-12-2026_07-08-15_unfinished_1.wav";
    write_file(foreign, std::string(100, 'x'));
    RepairedJournal repaired = repair_journal(foreign.string());
    EXPECT_EQ(repaired.outcome, RepairedJournal::Outcome::unrecoverable);
    EXPECT_FALSE(repaired.reason.empty());
    EXPECT_EQ(read_file(foreign), std::string(100, 'x'));

    TakeJournal live;
    ASSERT_EQ(live.open(folder(), "06-12-2026_07-08-16"), 0);
    const auto samples = noise(100);
    live.append(samples.data(), samples.size());
    const std::string before = read_file(live.path());
    repaired = repair_journal(live.path());
    EXPECT_EQ(repaired.outcome, RepairedJournal::Outcome::in_use);
    EXPECT_EQ(read_file(live.path()), before);
    // Oldest take first, whatever the directory's order; other files are not journals.
    write_file(dir / "05-12-2026_23-00-00_unfinished_9.wav", "");
    write_file(dir / "06-12-2026_07-08-15_output.wav", "");
    const auto found = find_journals(folder());
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(fs::path(found[0]).filename(), "05-12-2026_23-00-00_unfinished_9.wav");
    EXPECT_EQ(fs::path(found[1]), foreign);  // as paths: Windows joins with either separator
    EXPECT_EQ(journal_timestamp(found[2]), "06-12-2026_07-08-16");
}

TEST_F(Journal, LinkNamedLikeAJournalIsNeverFollowed) {
    const fs::path outside = dir / "outside.wav";
    const auto samples = noise(100);
    const std::string original = take_file(samples, samples.size()) + "x";  // a journal as a crash left it
    write_file(outside, original);
    const fs::path link = dir / "06-12-2026_07-08-15_unfinished_1.wav";
    std::error_code unsupported;
    fs::create_symlink(outside, link, unsupported);
    if (unsupported) GTEST_SKIP() << "no symbolic links here: " << unsupported.message();
    RepairedJournal repaired = repair_journal(link.string());
    EXPECT_EQ(repaired.outcome, RepairedJournal::Outcome::unrecoverable);
    EXPECT_EQ(repaired.reason, "it is a link, and links are never followed");
    EXPECT_EQ(read_file(outside), original);
    EXPECT_TRUE(fs::is_symlink(link));
}

}  // namespace
