#include "server/language/language_command.h"

#include <chrono>
#include <cstdio>
#include <exception>

#include "server/language/language_learning.h"
#include "server/language/language_part.h"
#include "server/messages.h"
#include "server/profile_paths.h"
#include "server/recognition/word_sounds.h"

namespace server {
namespace {

constexpr std::size_t unknown_words_shown = 20;

std::string figure(const char* format, double value) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

int run_learn_text_command(const Options& options) {
    const std::string language_dir = profile_language_dir(options);
    if (language_dir.empty()) {
        say("cannot learn the language: no --profile folder given and neither XDG_DATA_HOME nor HOME is set");
        return 1;
    }
    const auto began = std::chrono::steady_clock::now();
    try {
        LearningSettings settings{options.learn_text_paths, language_dir, options.model_dir,
                                  synthesiser_letter_to_sound()};
        const LearningResult result = learn_language(settings, [](const std::string& line) { say(line); });
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        say("learnt from " + std::to_string(result.files_read) + " files (" +
            figure("%.1f MB", static_cast<double>(result.bytes_read) / 1e6) +
            "): " + std::to_string(result.sentences) + " sentences, " + std::to_string(result.words) +
            " words, " + std::to_string(result.pairs) + " word pairs and " + std::to_string(result.triples) +
            " triples kept, in " + figure("%.0f s", seconds) + "; " +
            std::to_string(result.held_back_sentences) + " sentences held back to judge by");
        if (result.pruned_at_most > 0) {
            say("pairs and triples seen " + std::to_string(result.pruned_at_most) +
                " times or fewer were dropped at times to keep memory bounded");
        }
        if (result.new_words > 0) {
            say("learnt " + std::to_string(result.new_words) +
                " words not in the dictionary with the sounds their letters suggest (listed in " +
                language_dir + "/" + learnt_words_file + ")");
        }
        if (!result.unknown_words.empty()) {
            std::string names;
            for (std::size_t i = 0; i < result.unknown_words.size() && i < unknown_words_shown; ++i)
                names += (i == 0 ? "" : ", ") + result.unknown_words[i].first;
            if (result.unknown_words.size() > unknown_words_shown) names += ", ...";
            say("skipped " + std::to_string(result.unknown_words.size()) +
                " words not in the dictionary (no plain word of 2 to 20 letters, none its letters could "
                "sound, or past the " +
                std::to_string(settings.max_new_words) + " learnt), most frequent first: " + names);
        }
        say("perplexity of the held-back text: " + figure("%.1f", result.general_perplexity) +
            " with the general model alone, " + figure("%.1f", result.mixed_perplexity) +
            " mixed with the learnt one at weight " + figure("%.2f", result.weight) + " (" +
            std::to_string(result.held_back_words) + " words)");
        if (result.kept) {
            say("kept the learnt language in " + language_dir + " (the list of skipped words is in " +
                language_dir + "/" + unknown_words_file + "); the server uses it from its next start");
        } else {
            say("the learnt language does not make the held-back text likelier; the language in " +
                language_dir + " is unchanged");
        }
        return 0;
    } catch (const std::exception& failure) {
        say("cannot learn the language in " + language_dir + ": " + failure.what());
        return 1;
    }
}

LearntLanguage learnt_language_for(const Options& options) {
    const std::string language_dir = profile_language_dir(options);
    if (language_dir.empty()) return {};
    try {
        const auto learnt = find_learnt_language(language_dir, [](const std::string& line) { say(line); });
        if (!learnt) return {};
        say("searching with the language learnt in " + language_dir + " (weight " +
            figure("%.2f", learnt->weight) + ", " + std::to_string(learnt->words.size()) +
            " words of its own)");
        return *learnt;
    } catch (const std::exception& failure) {
        say("the learnt language in " + language_dir + " can't be used (" + failure.what() +
            "); searching without it");
        return {};
    }
}

}  // namespace server
