#include "audio/wav_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::uint32_t u32_at(const std::string& bytes, std::size_t offset) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return v;
}

class WavFile : public ::testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() / ("wav_writer_test_" + std::to_string(::getpid()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
};

TEST(WavConversion, TruncatesInRangeAndSaturatesBeyond) {
    struct Row {
        float in;
        std::int16_t out;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Row rows[] = {
        {0.0f, 0},     {1.0f, 32767},  {-1.0f, -32767}, {0.5f, 16383},       {-0.5f, -16383},
        {0.25f, 8191}, {1.5f, 32767},  {-1.5f, -32768}, {1e10f, 32767},      {-1e10f, -32768},
        {inf, 32767},  {-inf, -32768}, {nan, 0},        {-1.00002f, -32767}, {-1.0001f, -32768},
    };
    for (const auto& row : rows) EXPECT_EQ(to_pcm16(row.in), row.out) << row.in;
}

TEST(WavHeaderSizes, ExactWhileTheyFitThenSaturate) {
    // 2^28 samples: where a 32-bit "count * 16" would have wrapped.
    const std::uint64_t wrap = std::uint64_t{1} << 28;
    EXPECT_EQ(WavHeader::for_samples(wrap).data_size, wrap * 2);
    EXPECT_EQ(WavHeader::for_samples(wrap).riff_size, wrap * 2 + 36);
    // The largest take whose sizes still fit, and the ones just beyond.
    const std::uint64_t last_exact_riff = (0xFFFFFFFFull - 36) / 2;
    EXPECT_EQ(WavHeader::for_samples(last_exact_riff).riff_size, last_exact_riff * 2 + 36);
    EXPECT_EQ(WavHeader::for_samples(last_exact_riff + 1).riff_size, 0xFFFFFFFFu);
    EXPECT_EQ(WavHeader::for_samples(last_exact_riff + 1).data_size, (last_exact_riff + 1) * 2);
    EXPECT_EQ(WavHeader::for_samples(0x80000000ull).data_size, 0xFFFFFFFFu);
    EXPECT_EQ(WavHeader::for_samples(std::uint64_t{1} << 40).data_size, 0xFFFFFFFFu);
}

TEST_F(WavFile, MissingFolderIsReportedWithTheOsReason) {
    SampleBuffer buffer;
    const float one = 0.1f;
    buffer.append(&one, 1);
    const WavWrite result = write_wav((dir / "no-such-folder" / "take.wav").string(), buffer);
    EXPECT_EQ(result.error, ENOENT);
    EXPECT_FALSE(result.created);
    EXPECT_FALSE(result.file_kept);
}

// A file-size limit makes the disk "full" at an exact byte: writes past it fail with EFBIG, as they would
// with ENOSPC on a full disk.
struct FileSizeLimit {
    rlimit saved{};
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
};

TEST_F(WavFile, FullDiskLeavesATruthfulFileOrNone) {
    std::vector<float> samples(100000, 0.25f);
    SampleBuffer buffer;
    buffer.append(samples.data(), samples.size());
    // (room on the disk, whole samples that fit: 0 means no file is left)
    const std::pair<std::uint64_t, std::uint64_t> rows[] = {{30, 0}, {44, 0}, {45, 0}, {46, 1}, {2045, 1000}};
    for (const auto& [room, kept] : rows) {
        const auto path = dir / "take.wav";
        fs::remove(path);
        WavWrite result;
        {
            FileSizeLimit limit(room);
            result = write_wav(path.string(), buffer);
        }
        EXPECT_EQ(result.error, EFBIG) << room;
        EXPECT_TRUE(result.created) << room;
        EXPECT_EQ(result.samples_on_disk, kept) << room;
        EXPECT_EQ(result.file_kept, kept > 0) << room;
        if (kept == 0) {
            EXPECT_FALSE(fs::exists(path)) << room;
            continue;
        }
        const std::string bytes = read_file(path);
        ASSERT_EQ(bytes.size(), 44 + 2 * kept) << room;
        EXPECT_EQ(u32_at(bytes, 40), 2 * kept) << room;
        EXPECT_EQ(u32_at(bytes, 4), 2 * kept + 36) << room;
    }
}

}  // namespace

#include <algorithm>
#include <random>

namespace {

// The whole file, byte for byte, against a writer that builds it the obvious way, one sample at a time: the
// buffer's chunks, the writer's blocks and its vectorised conversion must not change a single byte. Samples
// are random across and beyond full scale, with NaN, infinities and values right at the clipping edges mixed
// in.
namespace reference {

void put_le(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::int16_t pcm16(float sample) {
    if (std::isnan(sample)) return 0;
    const float product = sample * 32767.0f;  // the product is formed in float, as the writer documents
    if (product >= 32767.0f) return 32767;
    if (product <= -32768.0f) return -32768;
    return static_cast<std::int16_t>(std::trunc(product));
}

std::string wav_file(const std::vector<float>& samples) {
    const std::uint64_t data = 2 * samples.size();
    std::string out = "RIFF";
    put_le(out, std::min<std::uint64_t>(data + 36, 0xFFFFFFFF), 4);
    out += "WAVEfmt ";
    put_le(out, 16, 4);
    put_le(out, 1, 2);
    put_le(out, 1, 2);
    put_le(out, 48000, 4);
    put_le(out, 48000 * 2, 4);
    put_le(out, 2, 2);
    put_le(out, 16, 2);
    out += "data";
    put_le(out, std::min<std::uint64_t>(data, 0xFFFFFFFF), 4);
    for (float s : samples) put_le(out, static_cast<std::uint16_t>(pcm16(s)), 2);
    return out;
}

}  // namespace reference

TEST_F(WavFile, BytesMatchAPlainPerSampleWriterAcrossChunks) {
    constexpr std::size_t chunk = SampleBuffer::chunk_samples;
    struct Row {
        std::size_t samples;
        std::size_t append_block;
    };
    // Sizes around the buffer's chunk, which is also the writer's conversion block: off-by-one faults hide
    // there.
    const Row rows[] = {
        {0, 1},                     // an empty take: the bare 44-byte header
        {1, 1},                     // one sample
        {7, 3},                     // shorter than one conversion block
        {chunk - 1, 4096},          // one short of a chunk
        {chunk + 1, 4096},          // one over
        {3 * chunk + 5, 512},       // whole blocks and a short tail, audio-thread-sized appends
        {chunk, 4096},              // exactly one chunk
        {2 * chunk + 12345, 1000},  // appends straddling chunk boundaries, a part-filled last chunk
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float edges[] = {nan,
                           -nan,
                           inf,
                           -inf,
                           1.0f,
                           -1.0f,
                           1.5f,
                           -1.5f,
                           0.0f,
                           -0.0f,
                           std::nextafter(1.0f, 2.0f),
                           std::nextafter(-1.0f, -2.0f),
                           -1.00002f,
                           -1.0001f,
                           16383.5f / 32767.0f,
                           -16383.5f / 32767.0f,
                           1e-30f,
                           -1e-30f};
    std::mt19937 random(20240607);
    std::uniform_real_distribution<float> level(-1.6f, 1.6f);
    std::uniform_int_distribution<int> pick(0, 15);
    for (const Row& row : rows) {
        std::vector<float> samples(row.samples);
        std::size_t next_edge = 0;
        for (float& s : samples)
            s = pick(random) == 0 ? edges[next_edge++ % std::size(edges)] : level(random);

        SampleBuffer buffer;
        for (std::size_t at = 0; at < samples.size(); at += row.append_block) {
            buffer.append(samples.data() + at, std::min(row.append_block, samples.size() - at));
        }
        const auto path = (dir / "take.wav").string();
        fs::remove(path);
        ASSERT_EQ(write_wav(path, buffer).error, 0);
        const std::string got = read_file(path);
        const std::string want = reference::wav_file(samples);
        ASSERT_EQ(got.size(), want.size()) << row.samples;
        const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
        EXPECT_TRUE(diff.first == got.end())
            << row.samples << " samples: first difference at byte " << (diff.first - got.begin());
    }
}

}  // namespace
