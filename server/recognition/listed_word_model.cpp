#include "server/recognition/listed_word_model.h"

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>

#include <stdexcept>
#include <string>

namespace server {

void add_listed_words(ps_decoder_t* decoder, const std::vector<WordSound>& words) {
    for (const WordSound& word : words) {
        for (std::size_t i = 0; i < word.phones.size(); ++i) {
            const std::string name = i == 0 ? word.token : word.token + "(" + std::to_string(i + 1) + ")";
            if (ps_add_word(decoder, name.c_str(), word.phones[i].c_str(), FALSE) < 0)
                throw std::runtime_error("cannot add \"" + name + "\" (" + word.phones[i] +
                                         ") to the recogniser's dictionary");
        }
    }
}

void add_learnt_words(ps_decoder_t* decoder, const std::vector<WordSound>& words) {
    for (const WordSound& word : words) {
        if (word.phones.empty()) continue;
        if (char* known = ps_lookup_word(decoder, word.token.c_str())) {
            ckd_free(known);
            continue;
        }
        if (ps_add_word(decoder, word.token.c_str(), word.phones.front().c_str(), FALSE) < 0)
            throw std::runtime_error("cannot add the learnt word \"" + word.token + "\" (" +
                                     word.phones.front() + ") to the recogniser's dictionary");
    }
}

std::vector<MixedModel> listed_word_model(const std::vector<WordSound>& words, double floor_log10) {
    if (words.empty()) return {};
    // Every entry with probability 1 (log 0): as with the commands' model, only its floor matters once mixed.
    std::string text =
        "\\data\\\nngram 1=" + std::to_string(words.size() + 2) + "\n\n\\1-grams:\n-99 <s> 0\n-99 </s> 0\n";
    for (const WordSound& word : words) text += "0 " + word.token + " 0\n";
    return {MixedModel{"dictate-listed-words", "the word list's language model", text + "\n\\end\\\n",
                       floor_log10}};
}

}  // namespace server
