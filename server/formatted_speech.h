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
    // The words so far are told as written text too, so that they read as the reply will.
    Transcript transcribe_live(const SampleSource& audio, std::string_view series,
                               const WordsSoFar& words_so_far = {}) override {
        WordsSoFar written;
        if (words_so_far)
            written = [&words_so_far](const std::string& words) { words_so_far(format_dictation(words)); };
        Transcript heard = words_.transcribe_live(audio, series, written);
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
    Transcript transcribe_live(const SampleSource& audio, std::string_view series,
                               const WordsSoFar& words_so_far = {}) override {
        WordsSoFar plain;
        if (words_so_far)
            plain = [&words_so_far](const std::string& words) { words_so_far(plain_words(words)); };
        Transcript heard = words_.transcribe_live(audio, series, plain);
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
    Transcript transcribe_live(const SampleSource& audio, std::string_view series,
                               const WordsSoFar& words_so_far = {}) override {
        WordsSoFar marked;
        if (words_so_far)
            marked = [this, &words_so_far](const std::string& words) { words_so_far(phrases_.mark(words)); };
        Transcript heard = words_.transcribe_live(audio, series, marked);
        heard.words = phrases_.mark(heard.words);
        return heard;
    }

private:
    SpeechToText& words_;
    const ListedPhrases phrases_;
};

}  // namespace server
