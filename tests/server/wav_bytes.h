#pragma once

// Builds WAV files byte by byte for the tests, so each case states exactly what is on disk.

#include <cstdint>
#include <string>
#include <string_view>

namespace wav_bytes {

inline std::string le(std::uint64_t value, int width) {
    std::string out;
    for (int i = 0; i < width; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return out;
}

// A chunk with its declared size; odd sizes get the pad byte unless `pad` is false.
inline std::string chunk(std::string_view id, std::string_view body, bool pad = true) {
    std::string out = std::string(id) + le(body.size(), 4) + std::string(body);
    if (pad && body.size() % 2 == 1) out.push_back('\0');
    return out;
}

// A chunk whose size field says `declared`, whatever follows.
inline std::string chunk_claiming(std::string_view id, std::uint32_t declared, std::string_view body) {
    return std::string(id) + le(declared, 4) + std::string(body);
}

inline std::string fmt(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                       std::uint16_t block_align = 0) {
    if (block_align == 0) block_align = static_cast<std::uint16_t>(channels * ((bits + 7) / 8));
    return le(tag, 2) + le(channels, 2) + le(rate, 4) + le(std::uint64_t{rate} * block_align, 4) +
           le(block_align, 2) + le(bits, 2);
}

// The extensible form; `guid_tail` replaces the standard bytes 2..15 of the subformat when given.
inline std::string fmt_extensible(std::uint16_t subformat, std::uint16_t channels, std::uint32_t rate,
                                  std::uint16_t bits, std::string_view guid_tail = {}) {
    const std::string standard_tail("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    return fmt(0xFFFE, channels, rate, bits) + le(22, 2) + le(bits, 2) + le(0, 4) + le(subformat, 2) +
           (guid_tail.empty() ? standard_tail : std::string(guid_tail));
}

inline std::string riff(std::string_view chunks) {
    return "RIFF" + le(4 + chunks.size(), 4) + "WAVE" + std::string(chunks);
}

}  // namespace wav_bytes
