#pragma once

#include <condition_variable>
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

// The offline recogniser: the US English acoustic model, language model and dictionary. The cepstral mean
// the acoustic model expects to be removed is estimated from each upload's own speech, so a speaker, a
// microphone or a room far from the model's training audio still matches it.
class Recognizer final : public SpeechToText {
public:
    // Loads `decoders` copies (at least one) of the model from `model_dir` (its en-us/ folder); a fraction of
    // a second each. Throws std::runtime_error naming the folder when a model file is missing or
    // unreadable. The engine's own logging is silenced.
    explicit Recognizer(const std::string& model_dir, unsigned decoders = default_decoder_count());
    ~Recognizer() override;
    Recognizer(const Recognizer&) = delete;
    Recognizer& operator=(const Recognizer&) = delete;

    // Splits the audio into utterances at the pauses the front end's voice activity detector finds, decodes
    // them and joins their transcripts in order. Every utterance is decoded from the same initial state,
    // so the result depends on `samples` alone, whichever decoder takes it. An upload's utterances are
    // shared among the decoders no other call is using; calls beyond the decoder count wait for one.
    std::string transcribe(std::span<const std::int16_t> samples) override;

private:
    ps_decoder_s* acquire(bool wait);
    void release(ps_decoder_s* decoder);

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
