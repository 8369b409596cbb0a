#include "app/take_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "audio/wav_writer.h"

namespace fs = std::filesystem;

namespace {

// The folder the tests work in, read once: the tests point TMPDIR elsewhere.
const fs::path& scratch_root() {
    static const fs::path root = fs::temp_directory_path();
    return root;
}

// Points TMPDIR at a test's own folder, where the spare folder is made, and back once the test is over,
// so that the tests after it in the same process find a temporary folder that still exists.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const fs::path& dir) {
        if (const char* was = std::getenv("TMPDIR")) was_ = was;
        ::setenv("TMPDIR", dir.c_str(), 1);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    ~TemporaryFolder() {
        if (was_)
            ::setenv("TMPDIR", was_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

private:
    std::optional<std::string> was_;
};

// Sample n is the 16-bit value n % 30000, so any sample lost, doubled or moved shows in the file.
std::vector<float> ramp(std::size_t from, std::size_t count) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = (static_cast<float>((from + i) % 30000) + 0.5f) / 32767.0f;
    return samples;
}

// The samples of a WAV file as its header states them.
std::vector<std::int16_t> samples_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    if (bytes.size() < 44) return {};
    std::uint32_t data_size = 0;
    for (int i = 3; i >= 0; --i) data_size = data_size << 8 | static_cast<unsigned char>(bytes[40 + i]);
    std::vector<std::int16_t> samples(std::min<std::size_t>(data_size, bytes.size() - 44) / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[44 + 2 * i]) |
                                               static_cast<unsigned char>(bytes[45 + 2 * i]) << 8);
    return samples;
}

void expect_ramp(const fs::path& path, std::size_t count) {
    const auto samples = samples_of(path);
    ASSERT_EQ(samples.size(), count) << path;
    for (std::size_t i = 0; i < count; ++i)
        ASSERT_EQ(samples[i], static_cast<std::int16_t>(i % 30000)) << path << " sample " << i;
}

class KeepTake : public ::testing::Test {
protected:
    fs::path dir = scratch_root() / ("take_file_test_" + std::to_string(::getpid()));
    TakePaths paths;
    const std::string timestamp = "06-12-2026_07-08-15";
    std::optional<TemporaryFolder> temporary;

    void SetUp() override {
        fs::create_directories(dir / "wav");
        fs::create_directories(dir / "tmp");
        paths.wav_folder = (dir / "wav").string() + "/";
        paths.transcript_folder = (dir / "txt").string() + "/";
        temporary.emplace(dir / "tmp");
    }
    void TearDown() override {
        temporary.reset();
        fs::remove_all(dir);
    }

    std::vector<fs::path> spare_takes() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::recursive_directory_iterator(dir / "tmp"))
            if (entry.is_regular_file()) found.push_back(entry.path());
        return found;
    }
};

TEST_F(KeepTake, AJournalBecomesTheTakeUnderTheNextFreeName) {
    // A file of that name is never replaced.
    std::ofstream(paths.wav_path(timestamp)) << "someone else's";
    TakeJournal journal;
    ASSERT_EQ(journal.open(paths.wav_folder, timestamp), 0);
    const auto samples = ramp(0, 96000);
    ASSERT_EQ(journal.append(samples.data(), samples.size()), samples.size());
    SampleBuffer rest;
    SpareFolder spare(paths);

    const KeptTake kept = keep_take(paths, journal, rest, timestamp, spare);

    EXPECT_EQ(kept.error, 0);
    EXPECT_EQ(kept.name.stem, timestamp + "_2");
    EXPECT_EQ(kept.output_path, paths.wav_path(timestamp + "_2"));
    expect_ramp(kept.output_path, samples.size());
    std::ifstream first(paths.wav_path(timestamp));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(first), {}), "someone else's");
    for (const auto& entry : fs::directory_iterator(dir / "wav"))
        EXPECT_EQ(entry.path().string().find(TakeJournal::marker), std::string::npos) << entry.path();
    EXPECT_TRUE(spare_takes().empty());
}

TEST_F(KeepTake, AJournalStoppedByAFullDiskIsJoinedWithTheRestWhenRoomComesBack) {
    // A file size limit stands in for a full disk: the journal stops part way through the take.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = 44 + 2 * 30000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

    TakeJournal journal;
    ASSERT_EQ(journal.open(paths.wav_folder, timestamp), 0);
    SampleBuffer rest;
    const auto samples = ramp(0, 100000);
    for (std::size_t at = 0; at < samples.size(); at += 4800) {
        const std::size_t count = std::min<std::size_t>(4800, samples.size() - at);
        const std::size_t in_journal = journal.append(samples.data() + at, count);
        if (in_journal < count) rest.append(samples.data() + at + in_journal, count - in_journal);
    }
    ::setrlimit(RLIMIT_FSIZE, &before);
    ASSERT_NE(journal.failure(), 0);
    ASSERT_GT(rest.size(), 0u);
    SpareFolder spare(paths);

    const KeptTake kept = keep_take(paths, journal, rest, timestamp, spare);

    EXPECT_EQ(kept.output_path, paths.wav_path(timestamp));
    expect_ramp(kept.output_path, samples.size());
    EXPECT_EQ(kept.lost, 0u);
    EXPECT_FALSE(kept.copy_tried);
}

TEST_F(KeepTake, AFolderThatCannotBeWrittenSendsTheWholeTakeToTheSpareFolder) {
    paths.wav_folder = (dir / "missing").string() + "/";
    TakeJournal journal;
    ASSERT_NE(journal.open(paths.wav_folder, timestamp), 0);
    SampleBuffer rest;
    const auto samples = ramp(0, 50000);
    rest.append(samples.data(), samples.size());
    SpareFolder spare(paths);

    const KeptTake kept = keep_take(paths, journal, rest, timestamp, spare);

    EXPECT_NE(kept.error, 0);
    ASSERT_EQ(kept.copy.error, 0);
    EXPECT_EQ(kept.output_path, kept.copy.path);
    const auto copies = spare_takes();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].filename().string(), paths.wav_name(timestamp));
    expect_ramp(copies[0], samples.size());
    // The line names where the take is and why it is not in its folder.
    const std::string line = describe_failure(kept);
    EXPECT_NE(line.find(kept.copy.path), std::string::npos) << line;
    EXPECT_NE(line.find("missing"), std::string::npos) << line;
}

TEST(SpareFolder, AHeadFromAStoppedJournalAndTheRestBecomeOneFileInOrder) {
    const fs::path dir = scratch_root() / ("spare_folder_test_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const TemporaryFolder temporary(dir);
    TakePaths paths;
    // The head: a WAV of the take's first samples, as a journal leaves it.
    SampleBuffer head_samples;
    const auto head = ramp(0, 30001);
    head_samples.append(head.data(), head.size());
    const std::string head_path = (dir / "head.wav").string();
    ASSERT_EQ(write_wav(head_path, head_samples).error, 0);
    FileHandle head_file;
    ASSERT_EQ(open_existing(head_path, head_file), 0);
    SampleBuffer rest;
    const auto tail = ramp(head.size(), 40000);
    rest.append(tail.data(), tail.size());

    SpareFolder spare(paths);
    const auto first = spare.keep("t", head_file, head.size(), rest);
    const auto second = spare.keep("t", head_file, head.size(), rest);
    close_file(head_file);

    ASSERT_EQ(first.error, 0);
    expect_ramp(first.path, head.size() + tail.size());
    // A second take of the same second gets a name of its own in the same folder.
    ASSERT_EQ(second.error, 0);
    EXPECT_EQ(fs::path(second.path).filename().string(), "t_2_output.wav");
    EXPECT_EQ(fs::path(second.path).parent_path(), fs::path(first.path).parent_path());
    fs::remove_all(dir);
}

}  // namespace
