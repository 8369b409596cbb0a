// Feeds arbitrary bytes to the server's WAV reader as an uploaded file.
//
// The reader promises to be safe on any input and to describe what it accepts precisely, so beyond
// "no crash, no sanitizer report" each accepted file is checked against that promise: the samples lie
// inside the bytes given, hold whole frames, where and how long the data chunk says it is, the rate is in
// range, and converting every frame gives finite values within [-1, 1]. A refusal carries an HTTP status of
// 400 or 415 and a message.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "server/recognition/wav_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto decoded = server::decode_wav(bytes);
    if (const auto* refused = std::get_if<server::WavError>(&decoded)) {
        if ((refused->status != 400 && refused->status != 415) || refused->message.empty()) __builtin_trap();
        return 0;
    }
    const auto& audio = std::get<server::WavAudio>(decoded);
    const char* begin = bytes.data();
    if (audio.data.data() < begin || audio.data.data() + audio.data.size() > begin + bytes.size()) {
        __builtin_trap();
    }
    if (audio.channels == 0 || audio.sample_rate < 1000 || audio.sample_rate > 768000) __builtin_trap();
    if (audio.data.size() % audio.bytes_per_frame() != 0) __builtin_trap();
    // Readers of a file in pieces take the samples' place and length from these; on the whole file they
    // must say what `data` says.
    if (audio.data.data() != begin + audio.data_offset) __builtin_trap();
    if (server::data_bytes_in_file(audio, size) != audio.data.size()) __builtin_trap();

    std::vector<float> mono(256);
    for (std::size_t first = 0; first < audio.frames(); first += mono.size()) {
        const std::size_t n = std::min(mono.size(), audio.frames() - first);
        server::read_mono(audio, first, std::span<float>(mono.data(), n));
        for (std::size_t i = 0; i < n; ++i) {
            if (!std::isfinite(mono[i]) || mono[i] < -1.0f || mono[i] > 1.0f) __builtin_trap();
        }
    }
    return 0;
}
