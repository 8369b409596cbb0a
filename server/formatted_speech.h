#pragma once

#include "server/text/dictation_formatter.h"
#include "server/text/listed_words.h"
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
    Transcript transcribe_live(const SampleSource& audio) override {
        Transcript heard = words_.transcribe_live(audio);
        heard.words = format_dictation(heard.words);
        return heard;
    }

private:
    SpeechToText& words_;
};

// The recogniser's words as they are, with the user's own words written as listed: what /transcribe answers
// with --raw-words. Borrows `words` as FormattedSpeech does.
class PlainSpeech final : public SpeechToText {
public:
    explicit PlainSpeech(SpeechToText& words) : words_(words) {}
    Transcript transcribe(const SampleSource& audio) override {
        Transcript heard = words_.transcribe(audio);
        heard.words = plain_words(heard.words);
        return heard;
    }
    Transcript transcribe_live(const SampleSource& audio) override {
        Transcript heard = words_.transcribe_live(audio);
        heard.words = plain_words(heard.words);
        return heard;
    }

private:
    SpeechToText& words_;
};

}  // namespace server
