#include "server/recognition/wav_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <ostream>
#include <vector>

#include "tests/server/wav_bytes.h"

namespace {

using namespace wav_bytes;
using server::SampleFormat;

// Three frames per channel layout: negative full scale, silence, half scale.
const std::string s8 = std::string("\x00\x80\xC0", 3);
const std::string s16 = le(0x8000, 2) + le(0, 2) + le(0x4000, 2);
const std::string s24 = le(0x800000, 3) + le(0, 3) + le(0x400000, 3);
const std::string s32 = le(0x80000000u, 4) + le(0, 4) + le(0x40000000, 4);
const std::string f32 =
    le(std::bit_cast<std::uint32_t>(-1.0f), 4) + le(0, 4) + le(std::bit_cast<std::uint32_t>(0.5f), 4);
const std::string f64 =
    le(std::bit_cast<std::uint64_t>(-1.0), 8) + le(0, 8) + le(std::bit_cast<std::uint64_t>(0.5), 8);
const std::vector<float> ramp{-1.0f, 0.0f, 0.5f};

struct Readable {
    const char* name;
    std::string bytes;
    SampleFormat format;
    unsigned channels;
    unsigned rate;
    std::vector<float> mono;
};

std::vector<Readable> readable_files() {
    const std::string pcm16 = chunk("fmt ", fmt(1, 1, 48000, 16));
    return {
        {"Unsigned8", riff(chunk("fmt ", fmt(1, 1, 8000, 8)) + chunk("data", s8)), SampleFormat::unsigned8, 1,
         8000, ramp},
        {"Signed16", riff(pcm16 + chunk("data", s16)), SampleFormat::signed16, 1, 48000, ramp},
        {"Signed24", riff(chunk("fmt ", fmt(1, 1, 44100, 24)) + chunk("data", s24)), SampleFormat::signed24,
         1, 44100, ramp},
        {"Signed32", riff(chunk("fmt ", fmt(1, 1, 16000, 32)) + chunk("data", s32)), SampleFormat::signed32,
         1, 16000, ramp},
        {"Float32", riff(chunk("fmt ", fmt(3, 1, 22050, 32)) + chunk("data", f32)), SampleFormat::float32, 1,
         22050, ramp},
        {"Float64", riff(chunk("fmt ", fmt(3, 1, 96000, 64)) + chunk("data", f64)), SampleFormat::float64, 1,
         96000, ramp},
        {"Extensible16", riff(chunk("fmt ", fmt_extensible(1, 1, 48000, 16)) + chunk("data", s16)),
         SampleFormat::signed16, 1, 48000, ramp},
        {"ExtensibleFloat", riff(chunk("fmt ", fmt_extensible(3, 1, 48000, 32)) + chunk("data", f32)),
         SampleFormat::float32, 1, 48000, ramp},
        // Left, right: (0.5, -0.5) (0.5, 0) (-1, -1)
        {"StereoIsAveraged",
         riff(chunk("fmt ", fmt(1, 2, 48000, 16)) +
              chunk("data", le(0x4000, 2) + le(0xC000, 2) + le(0x4000, 2) + le(0, 2) + le(0x8000, 2) +
                                le(0x8000, 2))),
         SampleFormat::signed16,
         2,
         48000,
         {0.0f, 0.25f, -1.0f}},
        {"FloatBeyondFullScaleIsClipped",
         riff(chunk("fmt ", fmt(3, 1, 48000, 32)) + chunk("data", le(std::bit_cast<std::uint32_t>(3.0f), 4))),
         SampleFormat::float32,
         1,
         48000,
         {1.0f}},
        {"DataSizeZeroMeansToTheEnd", riff(pcm16 + chunk_claiming("data", 0, s16)), SampleFormat::signed16, 1,
         48000, ramp},
        {"DataSizeAllOnesMeansToTheEnd", riff(pcm16 + chunk_claiming("data", 0xFFFFFFFF, s16)),
         SampleFormat::signed16, 1, 48000, ramp},
        {"DataCutShortKeepsWholeFrames", riff(pcm16 + chunk_claiming("data", 1000, s16 + "\x01")),
         SampleFormat::signed16, 1, 48000, ramp},
        {"OddDataSizeDropsPartialFrame", riff(pcm16 + chunk("data", s16 + "\x01", false)),
         SampleFormat::signed16, 1, 48000, ramp},
        {"ZeroLengthDataAtEnd", riff(pcm16 + chunk("data", "")), SampleFormat::signed16, 1, 48000, {}},
        {"OddChunkBeforeDataIsPadded", riff(pcm16 + chunk("LIST", "abc") + chunk("data", s16)),
         SampleFormat::signed16, 1, 48000, ramp},
        {"ChunksBeforeFmtAndData",
         riff(chunk("JUNK", std::string(28, '\0')) + pcm16 + chunk("fact", le(3, 4)) + chunk("data", s16)),
         SampleFormat::signed16, 1, 48000, ramp},
        {"RiffSizeLeftAtZero", "RIFF" + le(0, 4) + "WAVE" + pcm16 + chunk("data", s16),
         SampleFormat::signed16, 1, 48000, ramp},
    };
}

// ctest names each case after what it prints.
void PrintTo(const Readable& row, std::ostream* out) { *out << row.name; }

class ReadableWav : public testing::TestWithParam<Readable> {};

TEST_P(ReadableWav, DecodesFormatAndSamples) {
    const Readable& row = GetParam();
    const auto result = server::decode_wav(row.bytes);
    ASSERT_TRUE(std::holds_alternative<server::WavAudio>(result))
        << std::get<server::WavError>(result).message;
    const auto& audio = std::get<server::WavAudio>(result);
    EXPECT_EQ(audio.format, row.format);
    EXPECT_EQ(audio.channels, row.channels);
    EXPECT_EQ(audio.sample_rate, row.rate);
    ASSERT_EQ(audio.frames(), row.mono.size());
    std::vector<float> mono(audio.frames());
    server::read_mono(audio, 0, mono);
    for (std::size_t i = 0; i < mono.size(); ++i) EXPECT_FLOAT_EQ(mono[i], row.mono[i]) << "frame " << i;
}

INSTANTIATE_TEST_SUITE_P(Formats, ReadableWav, testing::ValuesIn(readable_files()),
                         [](const auto& info) { return std::string(info.param.name); });

struct Unreadable {
    const char* name;
    std::string bytes;
    int status;
};

std::vector<Unreadable> unreadable_files() {
    const std::string pcm16 = chunk("fmt ", fmt(1, 1, 48000, 16));
    const std::string other_guid(14, '\x42');
    return {
        {"Empty", "", 400},
        {"NotRiff", "RIFX" + le(4, 4) + "WAVE", 400},
        {"RiffButNotWave", riff("").replace(8, 4, "AVI "), 400},
        {"HeaderCutInsideFirstChunk", riff(pcm16).substr(0, 18), 400},
        {"NoFmtChunk", riff(chunk("LIST", "info")), 400},
        {"NoDataChunk", riff(pcm16 + chunk("LIST", "info")), 400},
        {"DataBeforeFmt", riff(chunk("data", s16) + pcm16), 400},
        {"FmtTooShort", riff(chunk("fmt ", fmt(1, 1, 48000, 16).substr(0, 14)) + chunk("data", s16)), 400},
        {"ChunkRunsPastEnd", riff(pcm16 + chunk_claiming("LIST", 1000, "abcd")), 400},
        {"FmtRunsPastEnd", riff(chunk_claiming("fmt ", 40, fmt(1, 1, 48000, 16))), 400},
        {"ZeroChannels", riff(chunk("fmt ", fmt(1, 0, 48000, 16, 2)) + chunk("data", s16)), 400},
        {"ZeroRate", riff(chunk("fmt ", fmt(1, 1, 0, 16)) + chunk("data", s16)), 400},
        {"BlockAlignLies", riff(chunk("fmt ", fmt(1, 1, 48000, 16, 4)) + chunk("data", s16)), 400},
        {"ExtensibleTooShort", riff(chunk("fmt ", fmt(0xFFFE, 1, 48000, 16) + le(0, 2)) + chunk("data", s16)),
         400},
        {"TwelveBitPcm", riff(chunk("fmt ", fmt(1, 1, 48000, 12, 2)) + chunk("data", s16)), 415},
        {"HalfFloat", riff(chunk("fmt ", fmt(3, 1, 48000, 16)) + chunk("data", s16)), 415},
        {"Adpcm", riff(chunk("fmt ", fmt(2, 1, 48000, 4, 256)) + chunk("data", s16)), 415},
        {"MuLaw", riff(chunk("fmt ", fmt(7, 1, 8000, 8)) + chunk("data", s8)), 415},
        {"ExtensibleVendorGuid",
         riff(chunk("fmt ", fmt_extensible(1, 1, 48000, 16, other_guid)) + chunk("data", s16)), 415},
        {"RateTooLow", riff(chunk("fmt ", fmt(1, 1, 500, 16)) + chunk("data", s16)), 415},
        {"RateTooHigh", riff(chunk("fmt ", fmt(1, 1, 1000000, 16)) + chunk("data", s16)), 415},
    };
}

void PrintTo(const Unreadable& row, std::ostream* out) { *out << row.name; }

class UnreadableWav : public testing::TestWithParam<Unreadable> {};

TEST_P(UnreadableWav, IsRefusedWithStatusAndReason) {
    const Unreadable& row = GetParam();
    const auto result = server::decode_wav(row.bytes);
    ASSERT_TRUE(std::holds_alternative<server::WavError>(result));
    EXPECT_EQ(std::get<server::WavError>(result).status, row.status);
    EXPECT_FALSE(std::get<server::WavError>(result).message.empty());
}

INSTANTIATE_TEST_SUITE_P(Refusals, UnreadableWav, testing::ValuesIn(unreadable_files()),
                         [](const auto& info) { return std::string(info.param.name); });

// A file cut off anywhere must never be read past its end (the sanitizer build checks the reads); once the
// data chunk's header is complete, whatever whole frames follow it are kept.
TEST(WavReader, EveryTruncationIsSafe) {
    const std::string full =
        riff(chunk("LIST", "abc") + chunk("fmt ", fmt(1, 2, 48000, 24)) + chunk("data", s24 + s24));
    const std::size_t data_start = full.size() - 2 * s24.size();
    for (std::size_t length = 0; length <= full.size(); ++length) {
        const auto result = server::decode_wav(std::string_view(full).substr(0, length));
        if (length < data_start) {
            EXPECT_TRUE(std::holds_alternative<server::WavError>(result)) << "length " << length;
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<server::WavAudio>(result)) << "length " << length;
        const auto& audio = std::get<server::WavAudio>(result);
        EXPECT_EQ(audio.frames(), (length - data_start) / 6) << "length " << length;
        std::vector<float> mono(audio.frames());
        server::read_mono(audio, 0, mono);
    }
}

// A file read from its first bytes (a spool still growing, a take read a block at a time): where the
// samples begin, and how far they go in the whole file.
TEST(WavReader, DataLengthInAFileReadFromItsHead) {
    const std::string pcm16 = chunk("fmt ", fmt(1, 1, 48000, 16));
    struct Row {
        const char* name;
        std::uint32_t declared;
        std::uint64_t file_after_offset;  // bytes the whole file holds from the samples' start
        std::uint64_t data_bytes;
    };
    const Row rows[] = {
        {"declared size, other chunks after it", 6, 100, 6},
        {"odd declared size keeps whole frames", 7, 100, 6},
        {"size 0 runs to the end of the file", 0, 1001, 1000},
        {"size 0xFFFFFFFF runs to the end of the file", 0xFFFFFFFF, 1000, 1000},
        {"file shorter than declared", 1000, 6, 6},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string head =
            riff(pcm16 + chunk("LIST", "abc") + chunk_claiming("data", row.declared, s16));
        const auto audio = std::get<server::WavAudio>(server::decode_wav(head));
        EXPECT_EQ(audio.data_offset, head.size() - s16.size());
        EXPECT_EQ(audio.data.data(), head.data() + audio.data_offset);
        const bool open = row.declared == 0 || row.declared == 0xFFFFFFFF;
        EXPECT_EQ(audio.declared_bytes.has_value(), !open);
        EXPECT_EQ(server::data_bytes_in_file(audio, audio.data_offset + row.file_after_offset),
                  row.data_bytes);
    }
    const auto audio = std::get<server::WavAudio>(server::decode_wav(riff(pcm16 + chunk("data", s16))));
    EXPECT_EQ(server::data_bytes_in_file(audio, audio.data_offset - 1), 0u)
        << "a file that ends before its samples";
}

}  // namespace
