#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "server/recognition/speech_to_text.h"

namespace server {

// The recogniser's words with their text rewritten, the reply's and the live words' alike, so that what a
// client sees while a take streams reads as the reply will: the user's own entries marked (ListedPhrases),
// written text (format_dictation) unless the server runs with --raw-words, or plain words (plain_words).
// Borrows `words`, which must outlive it; as thread-safe as `words` and `rewrite`.
class RewrittenSpeech final : public SpeechToText {
public:
    using Rewrite = std::function<std::string(std::string_view)>;
    RewrittenSpeech(SpeechToText& words, Rewrite rewrite) : words_(words), rewrite_(std::move(rewrite)) {}
    Transcript transcribe(const SampleSource& audio) override {
        Transcript heard = words_.transcribe(audio);
        heard.words = rewrite_(heard.words);
        return heard;
    }
    Transcript transcribe_live(const SampleSource& audio, std::string_view series,
                               const WordsSoFar& words_so_far = {}) override {
        WordsSoFar rewritten;
        if (words_so_far)
            rewritten = [this, &words_so_far](const std::string& words) { words_so_far(rewrite_(words)); };
        Transcript heard = words_.transcribe_live(audio, series, rewritten);
        heard.words = rewrite_(heard.words);
        return heard;
    }

private:
    SpeechToText& words_;
    Rewrite rewrite_;
};

}  // namespace server
