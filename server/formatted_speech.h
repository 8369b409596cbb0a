#pragma once

#include "server/text/dictation_formatter.h"
#include "server/recognition/speech_to_text.h"

namespace server {

// The recogniser's words made into written text (see format_dictation): what /transcribe answers unless
// the server runs with --raw-words. Borrows `words`, which must outlive it; as thread-safe as `words`.
class FormattedSpeech final : public SpeechToText {
public:
    explicit FormattedSpeech(SpeechToText& words) : words_(words) {}
    Transcript transcribe(const SampleSource& audio) override {
        Transcript heard = words_.transcribe(audio);
        heard.words = format_dictation(heard.words);
        return heard;
    }
    // The words so far are told as written text too, so that they read as the reply will.
    Transcript transcribe_live(const SampleSource& audio, const WordsSoFar& words_so_far = {}) override {
        WordsSoFar written;
        if (words_so_far)
            written = [&words_so_far](const std::string& words) { words_so_far(format_dictation(words)); };
        Transcript heard = words_.transcribe_live(audio, written);
        heard.words = format_dictation(heard.words);
        return heard;
    }

private:
    SpeechToText& words_;
};

}  // namespace server
