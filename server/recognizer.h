#pragma once

#include <optional>
#include <mutex>
#include <string>
#include <vector>

#include "server/speech_frames.h"
#include "server/speech_to_text.h"

struct ps_decoder_s;

namespace server {

// The speech model folder as found at build time, used unless --model-dir says otherwise.
std::string default_model_dir();

// The offline recogniser: the US English acoustic model, language model and dictionary. The cepstral mean
// the acoustic model expects to be removed is estimated from each upload's own speech, so a speaker, a
// microphone or a room far from the model's training audio still matches it.
class Recognizer final : public SpeechToText {
public:
    // Loads the model from `model_dir` (its en-us/ folder); takes a second or so. Throws std::runtime_error
    // naming the folder when a model file is missing or unreadable. The engine's own logging is silenced.
    explicit Recognizer(const std::string& model_dir);
    ~Recognizer() override;
    Recognizer(const Recognizer&) = delete;
    Recognizer& operator=(const Recognizer&) = delete;

    // Splits the audio into utterances at the pauses the front end's voice activity detector finds, decodes
    // each and joins their transcripts. Nothing carries over from one call to the next, so the result
    // depends on `samples` alone. Calls from several threads take turns: there is one decoder.
    std::string transcribe(std::span<const std::int16_t> samples) override;

private:
    std::mutex mutex_;
    ps_decoder_s* decoder_ = nullptr;
    std::optional<FrontEnd> front_end_;
    // The model's own estimate of the cepstral mean, used when an upload has too little speech for its own.
    std::vector<float> model_mean_;
};

}  // namespace server
