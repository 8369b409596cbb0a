#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace server {

// How one sample of one channel is stored in the data chunk.
enum class SampleFormat { unsigned8, signed16, signed24, signed32, float32, float64 };

// A readable WAV file: where its samples are and how to interpret them. `data` points into the bytes that
// were passed to decode_wav and holds whole frames only; it lives exactly as long as those bytes do.
struct WavAudio {
    SampleFormat format = SampleFormat::signed16;
    unsigned channels = 1;
    unsigned sample_rate = 0;
    std::string_view data;
    // Where the samples begin in those bytes, and how many bytes the data chunk's header declares for them:
    // nothing when it leaves the size open (0 or 0xFFFFFFFF, what a writer that cannot know the length puts
    // there). A file read in pieces (a spool still growing, a take read a block at a time) holds more than
    // `data` does; these say how far its samples go.
    std::size_t data_offset = 0;
    std::optional<std::uint32_t> declared_bytes;

    std::size_t bytes_per_frame() const;
    std::size_t frames() const { return data.size() / bytes_per_frame(); }
    double seconds() const { return static_cast<double>(frames()) / sample_rate; }
};

// Why a file can't be read. `status` is the HTTP status the upload earns: 400 when the bytes are not a
// well-formed WAV file, 415 when they are but hold an encoding this reader does not decode.
struct WavError {
    int status = 400;
    std::string message;
};

// Reads the RIFF/WAVE structure of `bytes` without copying samples. Accepts integer PCM of 8, 16, 24 and 32
// bits and IEEE float of 32 and 64 bits, plain or in the extensible format, any channel count, and sample
// rates from 1 kHz to 768 kHz (beyond those bounds resampling to the recogniser's rate is not worth its
// memory). Tolerates what recorders leave behind: a data size of 0 or 0xFFFFFFFF (the data then runs to
// the end of the bytes), a data chunk cut short, a RIFF size that disagrees with the file, odd-sized chunks
// followed by their pad byte, and any other chunks before the data. Pure; safe on any input.
std::variant<WavAudio, WavError> decode_wav(std::string_view bytes);

// The bytes of whole frames the data chunk holds in a file of `file_bytes` bytes whose first bytes
// decode_wav read as `audio`: the declared size, or all that follows data_offset when the size is left open
// or the file falls short of it (as decode_wav itself reads the bytes it is given).
std::uint64_t data_bytes_in_file(const WavAudio& audio, std::uint64_t file_bytes);

// Converts `out.size()` frames starting at frame `first` to floats in [-1, 1] (integer full scale maps to
// exactly ±1 for the negative end), averaging the channels. The caller keeps `first + out.size()` within
// `audio.frames()`.
void read_mono(const WavAudio& audio, std::size_t first, std::span<float> out);

}  // namespace server
