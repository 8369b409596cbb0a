#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/speech_frames.h"
#include "server/speech_to_text.h"

struct ps_decoder_s;

namespace server {

// The speech model folder as found at build time, used unless --model-dir says otherwise.
std::string default_model_dir();

// Decoders a recogniser loads by default: one per core, at most two. Each costs one more copy of the model
// in memory (see the README's figures).
unsigned default_decoder_count();

// Quiet frames a segment keeps after its last loud one (see trim_quiet_tails); 10 ms each.
inline constexpr std::size_t default_tail_frames = 25;

// Where one transcribe() call spent its time, for benchmarks and the log.
struct DecodeStages {
    double front_end_seconds = 0;  // cepstra, pause detection, normalisation, tail trimming
    double search_seconds = 0;     // the searches over every segment, on however many decoders
    std::size_t segments = 0;
    std::size_t frames = 0;          // frames searched
    std::size_t trimmed_frames = 0;  // quiet frames after speech left out of the search
};

// The offline recogniser: the US English acoustic model, language model and dictionary. The cepstral mean
// the acoustic model expects to be removed is estimated from each upload's own speech, so a speaker, a
// microphone or a room far from the model's training audio still matches it.
class Recognizer final : public SpeechToText {
public:
    // Loads `decoders` copies (at least one) of the model from `model_dir` (its en-us/ folder); a fraction of
    // a second each. Throws std::runtime_error naming the folder when a model file is missing or
    // unreadable. The engine's own logging is silenced.
    // Each segment is searched up to `tail_frames` frames past its last loud frame (SIZE_MAX: to the end the
    // detector gave it).
    explicit Recognizer(const std::string& model_dir, unsigned decoders = default_decoder_count(),
                        std::size_t tail_frames = default_tail_frames);
    ~Recognizer() override;
    Recognizer(const Recognizer&) = delete;
    Recognizer& operator=(const Recognizer&) = delete;

    // Splits the audio into utterances at the pauses the front end's voice activity detector finds, decodes
    // them and joins their transcripts in order. Every utterance is decoded from the same initial state,
    // so the result depends on `samples` alone, whichever decoder takes it. An upload's utterances are
    // shared among the decoders no other call is using; calls beyond the decoder count wait for one.
    std::string transcribe(std::span<const std::int16_t> samples) override;
    // The same, saying where the time went.
    std::string transcribe(std::span<const std::int16_t> samples, DecodeStages& stages);
    // The frames the search would be given for `samples` (segments cut and quiet tails trimmed as above),
    // before any cepstral mean is removed: adaptation trains on exactly what decoding looks at.
    SpeechFrames frames_of(std::span<const std::int16_t> samples);
    // The model's own cepstral mean (its feature parameters' initial mean).
    const std::vector<float>& model_mean() const { return model_mean_; }

private:
    ps_decoder_s* acquire(bool wait);
    void release(ps_decoder_s* decoder);

    std::size_t tail_frames_;
    std::vector<ps_decoder_s*> decoders_;
    std::mutex front_end_mutex_;
    std::optional<FrontEnd> front_end_;
    // The model's own estimate of the cepstral mean, used when an upload has too little speech for its own.
    std::vector<float> model_mean_;
    std::mutex pool_mutex_;
    std::condition_variable decoder_released_;
    std::vector<ps_decoder_s*> idle_;
};

}  // namespace server
