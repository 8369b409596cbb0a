#include "server/recognition/resampler.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

namespace server {
namespace {

constexpr std::size_t block_frames = 16384;

// Rounds to nearest and saturates; float input was scaled so that integer full scale is ±32768.
std::int16_t to_int16(float value) {
    const float scaled = std::nearbyint(value * 32768.0f);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

struct SoxrDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};
using Soxr = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

Soxr make_resampler(double from_rate) {
    // Float in and out: soxr only dithers when it has to reduce to integers itself.
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    Soxr resampler(soxr_create(from_rate, recognizer_rate, 1, &error, &io, &quality, nullptr));
    if (error != nullptr || !resampler) {
        throw std::runtime_error(std::string("soxr_create: ") + (error ? error : "unknown error"));
    }
    return resampler;
}

void convert(std::vector<std::int16_t>& out, const std::vector<float>& samples, std::size_t count) {
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = to_int16(samples[i]);
}

}  // namespace

struct PieceResampler::State {
    bool pass_through;
    Soxr resampler;
    std::vector<float> in;
    std::vector<float> resampled;
    std::vector<std::int16_t> out;

    explicit State(unsigned rate)
        : pass_through(rate == recognizer_rate),
          resampler(pass_through ? nullptr : make_resampler(rate)),
          in(block_frames),
          resampled(static_cast<std::size_t>(block_frames * (static_cast<double>(recognizer_rate) / rate)) +
                    64) {}

    void resample(const float* input, std::size_t count, const SampleSource::Sink& sink) {
        // A null input tells soxr the stream has ended; it then drains what it holds back.
        std::size_t taken = 0;
        do {
            std::size_t used = 0;
            std::size_t made = 0;
            soxr_error_t error = soxr_process(resampler.get(), input ? input + taken : nullptr, count - taken,
                                              &used, resampled.data(), resampled.size(), &made);
            if (error != nullptr) throw std::runtime_error(std::string("soxr_process: ") + error);
            convert(out, resampled, made);
            if (made > 0) sink(out);
            taken += used;
            if (input == nullptr && made == 0) return;
        } while (input == nullptr || taken < count);
    }
};

PieceResampler::PieceResampler(unsigned sample_rate) : state_(std::make_unique<State>(sample_rate)) {}

PieceResampler::~PieceResampler() = default;

void PieceResampler::push(const WavAudio& piece, const SampleSource::Sink& sink) {
    State& s = *state_;
    const std::size_t frames = piece.frames();
    for (std::size_t first = 0; first < frames; first += block_frames) {
        const std::size_t count = std::min(block_frames, frames - first);
        read_mono(piece, first, std::span(s.in).first(count));
        if (s.pass_through) {
            convert(s.out, s.in, count);
            sink(s.out);
        } else {
            s.resample(s.in.data(), count, sink);
        }
    }
}

void PieceResampler::finish(const SampleSource::Sink& sink) {
    if (!state_->pass_through) state_->resample(nullptr, 0, sink);
}

void RecognizerInput::play(const Sink& sink) const {
    const WavAudio& audio = audio_;
    const std::size_t frames = audio.frames();
    PieceResampler resampler(audio.sample_rate);
    for (std::size_t first = 0; first < frames; first += block_frames) {
        const std::size_t count = std::min(block_frames, frames - first);
        WavAudio piece = audio;
        piece.data = audio.data.substr(first * audio.bytes_per_frame(), count * audio.bytes_per_frame());
        resampler.push(piece, sink);
        if (consumed_) consumed_(piece.data);
    }
    resampler.finish(sink);
}

std::vector<std::int16_t> to_recognizer_input(const WavAudio& audio) {
    std::vector<std::int16_t> all;
    RecognizerInput(audio).play(
        [&all](std::span<const std::int16_t> block) { all.insert(all.end(), block.begin(), block.end()); });
    return all;
}

}  // namespace server
