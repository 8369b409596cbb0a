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
    Transcript transcribe_live(const SampleSource& audio, std::string_view series) override {
        Transcript heard = words_.transcribe_live(audio, series);
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
    Transcript transcribe_live(const SampleSource& audio, std::string_view series) override {
        Transcript heard = words_.transcribe_live(audio, series);
        heard.words = plain_words(heard.words);
        return heard;
    }

private:
    SpeechToText& words_;
};

// The recogniser's words with the entries of the user's word list that came out as dictionary words
// ("nakamura", "a w s", see ListedPhrases) turned into the entries' tokens, so that what comes after writes
// them as listed. Borrows `words` as FormattedSpeech does.
class ListedSpeech final : public SpeechToText {
public:
    ListedSpeech(SpeechToText& words, const std::vector<ListedPhrase>& entries)
        : words_(words), phrases_(entries) {}
    Transcript transcribe(const SampleSource& audio) override {
        Transcript heard = words_.transcribe(audio);
        heard.words = phrases_.mark(heard.words);
        return heard;
    }
    Transcript transcribe_live(const SampleSource& audio, std::string_view series) override {
        Transcript heard = words_.transcribe_live(audio, series);
        heard.words = phrases_.mark(heard.words);
        return heard;
    }

private:
    SpeechToText& words_;
    const ListedPhrases phrases_;
};

}  // namespace server
