#include "server/recognition/command_words.h"

#include <ngram_model.h>
#include <pocketsphinx.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <set>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "server/recognition/memory_file.h"
#include "server/text/dictation_formatter.h"

namespace server {
namespace {

struct Pronunciations {
    const char* word;
    std::vector<const char*> phones;  // in the acoustic model's phone set; the first is the main one
};

// Command words the dictionary of the Debian model lacks.
const Pronunciations missing_words[] = {
    {"semicolon", {"S EH M IY K OW L AH N", "S EH M IH K OW L AH N"}},
    {"paren", {"P ER EH N", "P EH R AH N"}},
};

void add_missing_words(ps_decoder_t* decoder) {
    for (const auto& [word, phones] : missing_words) {
        const std::unique_ptr<char, decltype(&std::free)> known(ps_lookup_word(decoder, word), &std::free);
        if (known) continue;
        for (std::size_t i = 0; i < phones.size(); ++i) {
            const std::string name = i == 0 ? word : std::string(word) + "(" + std::to_string(i + 1) + ")";
            if (ps_add_word(decoder, name.c_str(), phones[i], FALSE) < 0)
                throw std::runtime_error("cannot add \"" + name + "\" to the recogniser's dictionary");
        }
    }
}

// The commands as an ARPA language model in which every lone command and every second word after its
// first has probability 1 (log 0) and any other word almost none. It is not a distribution: only its
// floor matters once mixed (see listen_for_commands).
std::string command_model_text() {
    std::set<std::string_view> lone;
    std::set<std::string_view> other;
    std::vector<std::pair<std::string_view, std::string_view>> pairs;
    for (const auto& [first, second] : spoken_commands()) {
        if (second.empty()) {
            lone.insert(first);
        } else {
            pairs.emplace_back(first, second);
            other.insert(first);
            other.insert(second);
        }
    }
    for (std::string_view word : lone) other.erase(word);
    std::string text = "\\data\\\nngram 1=" + std::to_string(lone.size() + other.size() + 2) +
                       "\nngram 2=" + std::to_string(pairs.size()) +
                       "\n\n\\1-grams:\n-99 <s> 0\n-99 </s> 0\n";
    for (std::string_view word : lone) text += "0 " + std::string(word) + " 0\n";
    for (std::string_view word : other) text += "-99 " + std::string(word) + " 0\n";
    text += "\n\\2-grams:\n";
    for (const auto& [first, second] : pairs)
        text += "0 " + std::string(first) + " " + std::string(second) + "\n";
    return text + "\n\\end\\\n";
}

struct ModelRelease {
    void operator()(ngram_model_t* model) const { ngram_model_free(model); }
};
using Model = std::unique_ptr<ngram_model_t, ModelRelease>;

}  // namespace

void listen_for_commands(ps_decoder_t* decoder, const std::string& lm_path,
                         const std::vector<MixedModel>& more, const LearntLanguage& learnt) {
    add_missing_words(decoder);
    cmd_ln_t* config = ps_get_config(decoder);
    logmath_t* logmath = ps_get_logmath(decoder);
    const Model words(ngram_model_read(config, lm_path.c_str(), NGRAM_AUTO, logmath));
    if (!words) throw std::runtime_error("cannot read the language model " + lm_path);
    std::vector<MixedModel> mixed_in{
        {"commands", "the commands' language model", command_model_text(), command_floor_log10}};
    mixed_in.insert(mixed_in.end(), more.begin(), more.end());

    // The set mixes the models' scores after the language weight has scaled them, so a small model's
    // mixing weight acts on scores already raised to that weight: 10^(weight * floor) gives its words the
    // score that a probability of 10^floor would, and any other word loses nothing measurable.
    const float language_weight = cmd_ln_float32_r(config, "-lw");
    std::vector<Model> models;
    std::vector<ngram_model_t*> pointers{words.get()};
    std::vector<const char*> names{"words"};
    std::vector<float32> mixing{1.0f};
    for (const MixedModel& model : mixed_in) {
        const MemoryFile file(model.name.c_str(), model.arpa_text);
        models.emplace_back(ngram_model_read(config, file.path().c_str(), NGRAM_ARPA, logmath));
        if (!models.back()) throw std::runtime_error("cannot read " + model.what);
        pointers.push_back(models.back().get());
        names.push_back(model.name.c_str());
        mixing.push_back(static_cast<float32>(std::pow(10.0, language_weight * model.floor_log10)));
        if (!(mixing.back() > 0.0f))
            throw std::runtime_error("the floor of " + model.what + " is below what a float holds");
    }
    Model user;
    if (!learnt.model_path.empty()) {
        user.reset(ngram_model_read(config, learnt.model_path.c_str(), NGRAM_AUTO, logmath));
        if (!user) throw std::runtime_error("cannot read the learnt language model " + learnt.model_path);
        pointers.push_back(user.get());
        names.push_back("learnt");
        // As for the commands' floor, the set mixes scores already raised to the language weight: the
        // learnt model's share w/(1 - w) of the general one's is raised to it too, so a word scores about
        // as the larger of its general probability and that share of its learnt one would, which is the
        // mixture the held-back judge chose w for, scaled by 1/(1 - w). Shares left as they are gave a
        // tenth nearly the whole say; the general model's own share (1 - w) raised to the weight costs
        // every word alike, which the search takes as a higher word penalty (read English of the engine's
        // test recordings: 18.5 % -> 29 % word error at w = 0.1).
        mixing.push_back(
            static_cast<float32>(std::pow(learnt.weight / (1.0 - learnt.weight), language_weight)));
    }
    // The set and the search each keep their own reference to what they are given.
    const Model mixed(ngram_model_set_init(config, pointers.data(), const_cast<char**>(names.data()),
                                           mixing.data(), static_cast<int32>(pointers.size())));
    if (!mixed) throw std::runtime_error("cannot mix the commands into the language model");
    if (ps_set_lm(decoder, "dictation", mixed.get()) < 0 || ps_set_search(decoder, "dictation") < 0)
        throw std::runtime_error("cannot search with the commands' language model");
}

}  // namespace server
