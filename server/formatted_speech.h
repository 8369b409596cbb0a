#pragma once

#include "server/dictation_formatter.h"
#include "server/speech_to_text.h"

namespace server {

// The recogniser's words made into written text (see format_dictation): what /transcribe answers unless
// the server runs with --raw-words. Borrows `words`, which must outlive it; as thread-safe as `words`.
class FormattedSpeech final : public SpeechToText {
public:
    explicit FormattedSpeech(SpeechToText& words) : words_(words) {}
    std::string transcribe(std::span<const std::int16_t> samples) override {
        return format_dictation(words_.transcribe(samples));
    }

private:
    SpeechToText& words_;
};

}  // namespace server
