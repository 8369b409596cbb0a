#include "server/recognition/wav_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>

namespace server {
namespace {

// The RIFF layout, as far as this reader needs it. Every field is little-endian.
constexpr std::size_t riff_header_size = 12;     // "RIFF", size, "WAVE"
constexpr std::size_t chunk_header_size = 8;     // id, size
constexpr std::size_t fmt_min_size = 16;         // tag, channels, rate, byte rate, block align, bits
constexpr std::size_t fmt_extensible_size = 40;  // + extra size, valid bits, channel mask, subformat GUID
constexpr std::uint16_t tag_pcm = 1;
constexpr std::uint16_t tag_float = 3;
constexpr std::uint16_t tag_extensible = 0xFFFE;
// Bytes 2..15 of the subformat GUID shared by every standard extensible encoding; bytes 0..1 hold the tag.
constexpr std::string_view extensible_guid_tail{"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71",
                                                14};
// Data sizes that streaming writers leave behind when they never come back to patch the header.
constexpr std::uint32_t size_unknown_zero = 0;
constexpr std::uint32_t size_unknown_max = 0xFFFFFFFF;
constexpr unsigned min_rate = 1000;
constexpr unsigned max_rate = 768000;

std::uint32_t le(std::string_view bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Chunk ids come from the upload; keep them printable so they can go into a message.
std::string printable(std::string_view id) {
    std::string out;
    for (char c : id) out.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    return out;
}

unsigned sample_bytes(SampleFormat format) {
    switch (format) {
        case SampleFormat::unsigned8:
            return 1;
        case SampleFormat::signed16:
            return 2;
        case SampleFormat::signed24:
            return 3;
        case SampleFormat::signed32:
        case SampleFormat::float32:
            return 4;
        case SampleFormat::float64:
            return 8;
    }
    return 1;
}

struct Format {
    SampleFormat sample = SampleFormat::signed16;
    unsigned channels = 0;
    unsigned rate = 0;
};

std::variant<Format, WavError> parse_fmt(std::string_view fmt) {
    if (fmt.size() < fmt_min_size) {
        return WavError{400, "fmt chunk is " + std::to_string(fmt.size()) + " bytes, needs at least 16"};
    }
    std::uint32_t tag = le(fmt, 0, 2);
    const unsigned channels = le(fmt, 2, 2);
    const unsigned rate = le(fmt, 4, 4);
    const unsigned block_align = le(fmt, 12, 2);
    const unsigned bits = le(fmt, 14, 2);
    if (tag == tag_extensible) {
        if (fmt.size() < fmt_extensible_size) {
            return WavError{400,
                            "extensible fmt chunk is " + std::to_string(fmt.size()) + " bytes, needs 40"};
        }
        if (fmt.substr(26, extensible_guid_tail.size()) != extensible_guid_tail) {
            return WavError{415, "extensible WAV with a vendor-specific subformat is not supported"};
        }
        tag = le(fmt, 24, 2);
    }
    if (channels == 0) return WavError{400, "fmt chunk declares 0 channels"};
    if (rate == 0) return WavError{400, "fmt chunk declares a sample rate of 0"};

    Format out{SampleFormat::signed16, channels, rate};
    if (tag == tag_pcm && bits == 8)
        out.sample = SampleFormat::unsigned8;
    else if (tag == tag_pcm && bits == 16)
        out.sample = SampleFormat::signed16;
    else if (tag == tag_pcm && bits == 24)
        out.sample = SampleFormat::signed24;
    else if (tag == tag_pcm && bits == 32)
        out.sample = SampleFormat::signed32;
    else if (tag == tag_float && bits == 32)
        out.sample = SampleFormat::float32;
    else if (tag == tag_float && bits == 64)
        out.sample = SampleFormat::float64;
    else if (tag == tag_pcm || tag == tag_float) {
        return WavError{415, std::to_string(bits) + "-bit " + (tag == tag_pcm ? "integer" : "float") +
                                 " samples are not supported"};
    } else {
        return WavError{415, "WAV encoding " + std::to_string(tag) +
                                 " is not supported (integer PCM or IEEE float only)"};
    }
    if (block_align != channels * sample_bytes(out.sample)) {
        return WavError{400, "block align " + std::to_string(block_align) + " does not match " +
                                 std::to_string(channels) + " channels of " + std::to_string(bits) + " bits"};
    }
    if (rate < min_rate || rate > max_rate) {
        return WavError{415, "sample rate " + std::to_string(rate) + " Hz is outside 1000..768000 Hz"};
    }
    return out;
}

float clamp_unit(double value) {
    if (!std::isfinite(value)) return 0.0f;
    return static_cast<float>(std::clamp(value, -1.0, 1.0));
}

// `bytes` holds exactly one stored sample.
double sample_at(std::string_view bytes, SampleFormat format) {
    switch (format) {
        case SampleFormat::unsigned8:
            return (static_cast<int>(le(bytes, 0, 1)) - 128) / 128.0;
        case SampleFormat::signed16:
            return static_cast<std::int16_t>(le(bytes, 0, 2)) / 32768.0;
        case SampleFormat::signed24:
            return static_cast<std::int32_t>(le(bytes, 0, 3) << 8) / 2147483648.0;
        case SampleFormat::signed32:
            return static_cast<std::int32_t>(le(bytes, 0, 4)) / 2147483648.0;
        case SampleFormat::float32:
            return clamp_unit(std::bit_cast<float>(le(bytes, 0, 4)));
        case SampleFormat::float64: {
            const std::uint64_t bits = le(bytes, 0, 4) | (std::uint64_t{le(bytes, 4, 4)} << 32);
            return clamp_unit(std::bit_cast<double>(bits));
        }
    }
    return 0.0;
}

}  // namespace

std::size_t WavAudio::bytes_per_frame() const { return std::size_t{channels} * sample_bytes(format); }

std::variant<WavAudio, WavError> decode_wav(std::string_view bytes) {
    if (bytes.size() < riff_header_size || bytes.substr(0, 4) != "RIFF" || bytes.substr(8, 4) != "WAVE") {
        return WavError{400, "not a RIFF/WAVE file"};
    }
    std::optional<Format> format;
    std::size_t pos = riff_header_size;
    while (true) {
        if (bytes.size() - pos < chunk_header_size) {
            return WavError{400, format ? "no data chunk" : "no fmt chunk"};
        }
        const std::string_view id = bytes.substr(pos, 4);
        const std::uint32_t size = le(bytes, pos + 4, 4);
        const std::size_t body = pos + chunk_header_size;
        const std::size_t remaining = bytes.size() - body;
        if (id == "data") {
            if (!format) return WavError{400, "data chunk comes before the fmt chunk"};
            // An unknown size means "to the end"; so does a size the file falls short of, since a
            // recording cut off mid-write is still worth transcribing.
            const bool to_end = size == size_unknown_zero || size == size_unknown_max || size > remaining;
            WavAudio audio;
            audio.format = format->sample;
            audio.channels = format->channels;
            audio.sample_rate = format->rate;
            audio.data_offset = body;
            if (size != size_unknown_zero && size != size_unknown_max) audio.declared_bytes = size;
            const std::size_t length = to_end ? remaining : size;
            audio.data = bytes.substr(body, length - length % audio.bytes_per_frame());
            return audio;
        }
        if (size > remaining) {
            return WavError{400, "chunk '" + printable(id) + "' claims " + std::to_string(size) +
                                     " bytes but only " + std::to_string(remaining) + " follow"};
        }
        if (id == "fmt ") {
            auto parsed = parse_fmt(bytes.substr(body, size));
            if (auto* error = std::get_if<WavError>(&parsed)) return std::move(*error);
            format = std::get<Format>(parsed);
        }
        pos = body + size;
        if (size % 2 == 1 && pos < bytes.size()) ++pos;  // chunks are padded to even lengths
    }
}

std::uint64_t data_bytes_in_file(const WavAudio& audio, std::uint64_t file_bytes) {
    const std::uint64_t follow = file_bytes - std::min<std::uint64_t>(file_bytes, audio.data_offset);
    const std::uint64_t length = std::min<std::uint64_t>(audio.declared_bytes.value_or(follow), follow);
    return length - length % audio.bytes_per_frame();
}

void read_mono(const WavAudio& audio, std::size_t first, std::span<float> out) {
    const std::size_t step = sample_bytes(audio.format);
    std::size_t at = first * audio.bytes_per_frame();
    for (float& value : out) {
        double sum = 0.0;
        for (unsigned c = 0; c < audio.channels; ++c, at += step) {
            sum += sample_at(audio.data.substr(at, step), audio.format);
        }
        value = static_cast<float>(sum / audio.channels);
    }
}

}  // namespace server
