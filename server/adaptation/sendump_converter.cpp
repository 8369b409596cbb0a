#include "server/adaptation/sendump_converter.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

namespace server {
namespace {

// Bounds that no real model reaches; they keep a corrupt header from asking for gigabytes.
constexpr std::uint32_t max_features = 16;
constexpr std::uint32_t max_codewords = 4096;
constexpr std::uint32_t max_senones = 1u << 20;

// A quantised weight is a log in base 1.0001, shifted right by this many bits.
constexpr int weight_shift = 10;

class Cursor {
public:
    Cursor(std::string_view bytes, const std::string& path) : bytes_(bytes), path_(path) {}

    std::string_view take(std::size_t count) {
        if (count > bytes_.size() - at_) throw std::runtime_error(path_ + " is cut short: not a senone dump");
        const auto piece = bytes_.substr(at_, count);
        at_ += count;
        return piece;
    }
    std::int32_t int32() {
        std::int32_t value = 0;
        std::memcpy(&value, take(sizeof value).data(), sizeof value);
        return value;
    }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
    const std::string& path_;
};

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    return bytes;
}

std::uint32_t counted(std::int32_t value, std::uint32_t most, const std::string& path, const char* what) {
    if (value < 1 || static_cast<std::uint32_t>(value) > most) {
        throw std::runtime_error(path + " holds an impossible " + std::string(what) + " count (" +
                                 std::to_string(value) + ")");
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

MixtureWeights read_sendump(const std::string& path) {
    const std::string bytes = read_all(path);
    Cursor cursor(bytes, path);
    std::int32_t features = 1;
    // The header's strings; the dump states its stream count in one of them.
    for (std::int32_t length = cursor.int32(); length != 0; length = cursor.int32()) {
        if (length < 0 || length > 4096) throw std::runtime_error(path + " has a malformed header");
        const std::string_view line = cursor.take(static_cast<std::size_t>(length));
        constexpr std::string_view feature_count = "feature_count ";
        if (line.starts_with(feature_count)) features = std::atoi(line.substr(feature_count.size()).data());
    }
    MixtureWeights weights;
    weights.features = counted(features, max_features, path, "feature");
    weights.codewords = counted(cursor.int32(), max_codewords, path, "codeword");
    weights.senones = counted(cursor.int32(), max_senones, path, "senone");
    weights.values.assign(static_cast<std::size_t>(weights.senones) * weights.features * weights.codewords,
                          0.f);
    for (std::uint32_t f = 0; f < weights.features; ++f) {
        const std::string_view block =
            cursor.take(static_cast<std::size_t>(weights.codewords) * weights.senones);
        for (std::uint32_t c = 0; c < weights.codewords; ++c) {
            for (std::uint32_t s = 0; s < weights.senones; ++s) {
                const auto quantised = static_cast<unsigned char>(block[c * weights.senones + s]);
                weights.at(s, f, c) =
                    static_cast<float>(std::pow(1.0001, -double(quantised << weight_shift)));
            }
        }
    }
    for (std::uint32_t s = 0; s < weights.senones; ++s) {
        for (std::uint32_t f = 0; f < weights.features; ++f) {
            double sum = 0;
            for (std::uint32_t c = 0; c < weights.codewords; ++c) sum += weights.at(s, f, c);
            for (std::uint32_t c = 0; c < weights.codewords; ++c)
                weights.at(s, f, c) = static_cast<float>(weights.at(s, f, c) / sum);
        }
    }
    return weights;
}

void write_mixture_weights(const MixtureWeights& weights, const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    // The readers check the version; a file without the "chksum0" attribute carries no checksum.
    out << "s3\nversion 1.0\nendhdr\n";
    const std::uint32_t byte_order_mark = 0x11223344;
    const std::uint32_t header[] = {byte_order_mark, weights.senones, weights.features, weights.codewords,
                                    static_cast<std::uint32_t>(weights.values.size())};
    static_assert(sizeof header == 5 * 4, "the mark, three counts and the value count, 32 bits each");
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    out.write(reinterpret_cast<const char*>(weights.values.data()),
              static_cast<std::streamsize>(weights.values.size() * sizeof(float)));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

}  // namespace server
