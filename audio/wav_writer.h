#pragma once

#include <cstdint>
#include <string>

#include "platform/durable_file.h"
#include "audio/sample_buffer.h"

// The file format of every take: a 44-byte RIFF header for 48 kHz mono 16-bit PCM, then the samples.
struct WavHeader {
    std::uint32_t riff_size;  // data_size + 36, saturated at 0xFFFFFFFF
    std::uint32_t data_size;  // sample count * 2, saturated at 0xFFFFFFFF
    static constexpr std::uint32_t format_chunk_size = 16;
    static constexpr std::uint16_t audio_format = 1;  // PCM
    static constexpr std::uint16_t channels = 1;
    static constexpr std::uint32_t sample_rate = 48000;
    static constexpr std::uint32_t byte_rate = 96000;
    static constexpr std::uint16_t block_align = 2;
    static constexpr std::uint16_t bits_per_sample = 16;
    static constexpr std::size_t size = 44;

    static WavHeader for_samples(std::uint64_t sample_count);
};

// The header's 44 bytes exactly as they lie at the start of the file (little-endian, no gaps).
std::string encode_wav_header(const WavHeader& header);

// Converts one sample to the stored 16-bit value: the product with 32767 truncated toward zero, saturated
// to the 16-bit range; NaN becomes 0.
std::int16_t to_pcm16(float sample);

// Converts `count` samples as to_pcm16 does, each stored little-endian as it lies in the file.
void to_pcm16le(const float* samples, std::size_t count, std::uint16_t* out);

// What a write left on disk.
struct WavWrite {
    int error = 0;                      // 0, or the OS's error number for what stopped it
    std::uint64_t samples_on_disk = 0;  // whole samples in the file, which its header states exactly
    bool file_kept = false;             // false: nothing is left at the path
    bool created = false;               // the file was made, so `error` came while writing it
};

// Writes the take to `path`, which must not exist yet (EEXIST: nothing is touched, so no take replaces
// another, in this process or any other); the folder must exist already. When the OS refuses part way (a
// full disk) the file keeps the whole samples that landed under a header that says so, since a truncated
// take is worth more than none; when none landed, no file is left. Does not sync. Main thread; the buffer
// must not be appended to meanwhile.
WavWrite write_wav(const std::string& path, const SampleBuffer& recorded_samples);

// As write_wav, for a take whose first `head_samples` samples are in the WAV file open as `head` (a journal
// that stopped) and whose rest is `recorded_samples`: one file of the whole take.
WavWrite write_wav_joined(const std::string& path, FileHandle head, std::uint64_t head_samples,
                          const SampleBuffer& recorded_samples);

// For a file that holds a WAV header and then `file_length - 44` bytes of samples, of which the last may be
// cut short: cuts it back to its whole samples and rewrites the header to state exactly those, setting
// `kept` to their number. A file with no whole sample is removed (`kept` 0). Returns 0, or the OS's error
// number when the file could not be settled; it is then left as it was.
int settle_partial_wav(FileHandle file, const std::string& path, std::uint64_t file_length,
                       std::uint64_t& kept);
