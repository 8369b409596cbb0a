#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

// Writes the take to `path`, replacing any file of that name; the folder must exist already.
// Returns nothing on success, otherwise the OS's reason (a file that was partly written is left in place,
// since a truncated take is worth more than none). Main thread; the buffer must not be appended to meanwhile.
std::optional<std::string> write_wav(const std::string& path, const SampleBuffer& recorded_samples);
