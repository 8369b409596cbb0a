#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace server {

// The speech model's mixture weights: for every senone and feature stream, how much each codeword of the
// stream's codebook contributes. The model ships them only quantised (`sendump`); adaptation needs them as
// probabilities, and the decoder needs them quantised again (mk_s2sendump does that).
struct MixtureWeights {
    std::uint32_t senones = 0;
    std::uint32_t features = 0;
    std::uint32_t codewords = 0;
    std::vector<float> values;  // [senone][feature][codeword], each senone's stream summing to 1

    float& at(std::uint32_t senone, std::uint32_t feature, std::uint32_t codeword) {
        return values[(static_cast<std::size_t>(senone) * features + feature) * codewords + codeword];
    }
};

// Reads a decoder's quantised senone dump: a header of length-prefixed strings ended by a zero length (one
// of them "feature_count N"), the codeword and senone counts, then for each feature stream one byte per
// codeword and senone, codeword-major, where byte b stands for the weight 1.0001^-(b * 1024). The weights
// are renormalised so each senone's stream sums to 1. Throws std::runtime_error naming `path` and what is
// wrong with it (unreadable, cut short, counts out of range).
MixtureWeights read_sendump(const std::string& path);

// Writes `weights` as a training-tools mixture-weights file (the "s3" format: a text header, a byte-order
// mark, the three counts, the number of values, then the values as 32-bit floats in this machine's byte
// order). Throws std::runtime_error naming `path` and the reason on failure.
void write_mixture_weights(const MixtureWeights& weights, const std::string& path);

}  // namespace server
