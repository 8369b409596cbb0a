#include "audio/wav_writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

// Output is converted and written in blocks of this many samples (64 KiB of PCM). The trip count is a
// compile-time constant so that GCC vectorises the loop at -O2 as well as at -O3.
constexpr std::size_t block_samples = 32768;

void put_le(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t saturate32(std::uint64_t value) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, 0xFFFFFFFFu));
}

inline std::int16_t convert(float sample) {
    float product = sample * 32767.0f;
    product = product == product ? product : 0.0f;  // NaN
    product = std::min(std::max(product, -32768.0f), 32767.0f);
    return static_cast<std::int16_t>(static_cast<std::int32_t>(product));
}

inline std::uint16_t to_little_endian(std::int16_t value) {
    auto bits = static_cast<std::uint16_t>(value);
    if constexpr (std::endian::native == std::endian::big) bits = static_cast<std::uint16_t>((bits << 8) | (bits >> 8));
    return bits;
}

void convert_full_block(const float* in, std::uint16_t* out) {
    for (std::size_t i = 0; i < block_samples; ++i) out[i] = to_little_endian(convert(in[i]));
}

std::string os_reason(int error) { return error != 0 ? std::strerror(error) : "unknown I/O error"; }

}  // namespace

WavHeader WavHeader::for_samples(std::uint64_t sample_count) {
    const std::uint64_t data_bytes = sample_count * 2;
    return WavHeader{saturate32(data_bytes + 36), saturate32(data_bytes)};
}

std::string encode_wav_header(const WavHeader& h) {
    std::string out;
    out.reserve(WavHeader::size);
    out += "RIFF";
    put_le(out, h.riff_size, 4);
    out += "WAVEfmt ";
    put_le(out, WavHeader::format_chunk_size, 4);
    put_le(out, WavHeader::audio_format, 2);
    put_le(out, WavHeader::channels, 2);
    put_le(out, WavHeader::sample_rate, 4);
    put_le(out, WavHeader::byte_rate, 4);
    put_le(out, WavHeader::block_align, 2);
    put_le(out, WavHeader::bits_per_sample, 2);
    out += "data";
    put_le(out, h.data_size, 4);
    return out;
}

std::int16_t to_pcm16(float sample) { return convert(sample); }

std::optional<std::string> write_wav(const std::string& path, const SampleBuffer& recorded_samples) {
    errno = 0;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) return os_reason(errno);

    const std::string header = encode_wav_header(WavHeader::for_samples(recorded_samples.size()));
    file.write(header.data(), static_cast<std::streamsize>(header.size()));

    // Every chunk but the last is full, so blocks never straddle two chunks; only the take's final block
    // may be short.
    static_assert(SampleBuffer::chunk_samples % block_samples == 0);
    std::array<std::uint16_t, block_samples> pcm;
    recorded_samples.for_each_block([&](const float* samples, std::size_t count) {
        for (std::size_t done = 0; done < count && file; done += block_samples) {
            const std::size_t n = std::min(block_samples, count - done);
            if (n == block_samples) {
                convert_full_block(samples + done, pcm.data());
            } else {
                for (std::size_t i = 0; i < n; ++i) pcm[i] = to_little_endian(convert(samples[done + i]));
            }
            file.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(n * 2));
        }
    });

    if (!file) return os_reason(errno);
    errno = 0;
    file.close();
    if (!file) return os_reason(errno);
    return std::nullopt;
}
