#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "server/recognition/speech_to_text.h"
#include "server/recognition/wav_reader.h"

namespace server {

// The rate the recogniser's acoustic model was trained on.
inline constexpr unsigned recognizer_rate = 16000;

// Told of each piece of a WAV's data once it has been read, in order; the owner may then let go of those
// bytes (an upload mapped from disk gives its pages back).
using ConsumedBytes = std::function<void(std::string_view piece)>;

// `audio` downmixed to one channel and converted to 16 kHz signed 16-bit samples, the recogniser's input,
// made afresh a block at a time on every play, so memory stays a few blocks whatever the upload's size,
// rate, sample size and channel count. Resampling is high quality and deterministic: no dither, so every
// play gives the same samples (and the same transcript). 16 kHz 16-bit input passes through bit for bit.
// play() throws std::runtime_error naming the resampler's reason if it cannot be set up; it may run on
// several threads at once. `audio` (and the bytes it points into) must outlive this.
class RecognizerInput final : public SampleSource {
public:
    explicit RecognizerInput(const WavAudio& audio, ConsumedBytes consumed = {})
        : audio_(audio), consumed_(std::move(consumed)) {}
    void play(const Sink& sink) const override;

private:
    WavAudio audio_;
    ConsumedBytes consumed_;
};

// The same conversion for audio that arrives a piece at a time: each piece's 16 kHz samples go to `sink`
// as soon as the resampler gives them, and finish() drains what it holds back. The samples are the ones
// RecognizerInput gives for the same audio cut in the same pieces. Throws std::runtime_error naming the
// resampler's reason. One thread at a time.
class PieceResampler {
public:
    // Throws std::runtime_error if the resampler cannot be set up for `sample_rate`.
    explicit PieceResampler(unsigned sample_rate);
    ~PieceResampler();
    PieceResampler(const PieceResampler&) = delete;
    PieceResampler& operator=(const PieceResampler&) = delete;

    // `piece` holds whole frames of the audio, the next after those given before.
    void push(const WavAudio& piece, const SampleSource::Sink& sink);
    void finish(const SampleSource::Sink& sink);

    struct State;

private:
    std::unique_ptr<State> state_;
};

// All of it at once, for tests and benchmarks with short audio.
std::vector<std::int16_t> to_recognizer_input(const WavAudio& audio);

}  // namespace server
