#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/speech_to_text.h"

struct ps_decoder_s;

namespace server {

// The speech model folder as found at build time, used unless --model-dir says otherwise.
std::string default_model_dir();

// The offline recogniser: one decoder with the US English acoustic model, language model and dictionary,
// configured as the engine's own command-line decoder is by default, so transcripts match it.
class Recognizer final : public SpeechToText {
public:
    // Loads the model from `model_dir` (its en-us/ folder); takes a second or so. Throws std::runtime_error
    // naming the folder when a model file is missing or unreadable. The engine's own logging is silenced.
    explicit Recognizer(const std::string& model_dir);
    ~Recognizer() override;
    Recognizer(const Recognizer&) = delete;
    Recognizer& operator=(const Recognizer&) = delete;

    // Splits the audio into utterances at the pauses the engine's voice activity detector finds and joins
    // their transcripts. Each call starts from the same adaptation state, so the result depends on
    // `samples` alone. Calls from several threads take turns: there is one decoder.
    std::string transcribe(std::span<const std::int16_t> samples) override;

private:
    std::mutex mutex_;
    ps_decoder_s* decoder_ = nullptr;
    // The decoder's running cepstral mean as the model starts it, restored before every upload.
    struct CepstralState {
        std::vector<float> mean;
        std::vector<float> sum;
        int frames = 0;
    } initial_cmn_;
};

}  // namespace server
