// Whether the speech model lets the recogniser hear the spoken punctuation commands: for every command word,
// whether the dictionary has it and how likely the model folder's language model alone makes it (log10, as
// a word of its own, and for the second word of a two-word command after its first). Figures only.
//
// usage: bench_command_words [MODEL_DIR]   (default: the model folder the server uses)
#include <ngram_model.h>
#include <pocketsphinx.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "server/text/dictation_formatter.h"
#include "server/recognition/recognizer.h"

namespace {

std::set<std::string> dictionary_words(const std::string& path) {
    std::set<std::string> words;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const auto end = line.find_first_of(" \t(");
        words.insert(line.substr(0, end));
    }
    return words;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string model = (argc > 1 ? argv[1] : server::default_model_dir()) + "/en-us";
    const std::set<std::string> dictionary = dictionary_words(model + "/cmudict-en-us.dict");
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-logfn", "/dev/null", nullptr);
    logmath_t* logmath = logmath_init(1.0001, 0, 0);
    ngram_model_t* lm = ngram_model_read(config, (model + "/en-us.lm.bin").c_str(), NGRAM_AUTO, logmath);
    if (lm == nullptr) {
        std::fprintf(stderr, "cannot read %s/en-us.lm.bin\n", model.c_str());
        return 1;
    }
    auto log10_of = [&](const std::string& word, const char* before) {
        const int32 score = before == nullptr ? ngram_probv(lm, word.c_str(), nullptr)
                                              : ngram_probv(lm, word.c_str(), before, nullptr);
        return logmath_log_to_log10(logmath, score);
    };
    std::printf("%-24s %-12s %-10s %s\n", "command", "dictionary", "alone", "after the first word");
    for (const auto& [first, second] : server::spoken_commands()) {
        std::string said(first);
        std::string missing;
        for (std::string_view word : {first, second}) {
            if (word.empty()) continue;
            if (word == second) said.append(" ").append(word);
            if (!dictionary.contains(std::string(word)))
                missing.append(missing.empty() ? "lacks " : " ").append(word);
        }
        const std::string last(second.empty() ? first : second);
        const bool in_lm = ngram_wid(lm, last.c_str()) != ngram_unknown_wid(lm);
        std::printf("%-24s %-12s ", said.c_str(), missing.empty() ? "yes" : missing.c_str());
        if (!in_lm) {
            std::printf("%-10s\n", "absent");
            continue;
        }
        std::printf("%-10.2f", log10_of(last, nullptr));
        if (!second.empty()) std::printf(" %.2f", log10_of(last, std::string(first).c_str()));
        std::printf("\n");
    }
    ngram_model_free(lm);
    logmath_free(logmath);
    cmd_ln_free_r(config);
    return 0;
}
