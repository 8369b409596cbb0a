#include "server/language/language_learning.h"

#include <ngram_model.h>
#include <sphinxbase/err.h>
#include <sphinxbase/logmath.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "server/adaptation/profile_lock.h"
#include "server/adaptation/profile_swap.h"
#include "server/adaptation/voice_profile.h"
#include "server/language/language_part.h"
#include "server/language/ngram_counts.h"
#include "server/language/text_files.h"
#include "server/language/text_words.h"

namespace server {
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t word_break = std::numeric_limits<std::uint32_t>::max() - 1;
constexpr std::uint32_t sentence_done = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t max_unknown_listed = 100'000;  // distinct unknown words remembered with counts
constexpr std::uint64_t held_back_every = 10;

// The recogniser's words, numbered for counting: 0 and 1 are the sentence's start and end.
struct Vocabulary {
    std::unordered_map<std::string, std::uint32_t> ids;
    std::vector<std::string> names{"<s>", "</s>"};

    std::uint32_t add(const std::string& word) {
        const auto [found, added] = ids.emplace(word, static_cast<std::uint32_t>(names.size()));
        if (added) names.push_back(word);
        return found->second;
    }
};

Vocabulary read_dictionary(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read the dictionary " + path);
    Vocabulary vocabulary;
    for (std::string line; std::getline(in, line);) {
        std::string word = line.substr(0, line.find_first_of(" \t"));
        if (const auto variant = word.find('('); variant != std::string::npos && word.ends_with(')'))
            word.resize(variant);  // "read(2)": another pronunciation of "read"
        if (!word.empty() && vocabulary.names.size() < NgramCounts::max_words) vocabulary.add(word);
    }
    if (vocabulary.ids.empty()) throw std::runtime_error("the dictionary " + path + " holds no words");
    return vocabulary;
}

struct ModelRelease {
    void operator()(ngram_model_t* model) const { ngram_model_free(model); }
};
using Model = std::unique_ptr<ngram_model_t, ModelRelease>;
struct LogmathRelease {
    void operator()(logmath_t* logmath) const { logmath_free(logmath); }
};

// A model's probabilities of the numbered words, each word's id in the model looked up once.
class Scorer {
public:
    Scorer(ngram_model_t* model, logmath_t* logmath, const std::vector<std::string>& names)
        : model_(model), logmath_(logmath), names_(names) {}

    // P(word | older last), 0 for a word the model doesn't know; `none` for a missing history word.
    double probability(std::uint32_t word, std::uint32_t last, std::uint32_t older) {
        const std::int32_t id = wid(word);
        if (id == NGRAM_INVALID_WID) return 0.0;
        std::int32_t history[2];
        std::int32_t used = 0;
        for (std::uint32_t before : {last, older}) {
            const std::int32_t before_id = before == none ? NGRAM_INVALID_WID : wid(before);
            if (before_id == NGRAM_INVALID_WID) break;
            history[used++] = before_id;
        }
        std::int32_t n_used = 0;
        const std::int32_t score = ngram_ng_prob(model_, id, history, used, &n_used);
        return std::exp(logmath_log_to_ln(logmath_, score));
    }

    static constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

private:
    std::int32_t wid(std::uint32_t word) {
        if (word >= ids_.size()) ids_.resize(names_.size(), unresolved);
        if (ids_[word] == unresolved) {
            std::int32_t id = ngram_wid(model_, names_[word].c_str());
            if (id == ngram_unknown_wid(model_)) id = NGRAM_INVALID_WID;
            ids_[word] = id;
        }
        return ids_[word];
    }

    static constexpr std::int32_t unresolved = -2;
    ngram_model_t* model_;
    logmath_t* logmath_;
    const std::vector<std::string>& names_;
    std::vector<std::int32_t> ids_;
};

std::string figure(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Removes the work folder on every way out unless the learnt language moved out of it.
struct WorkFolder {
    fs::path path;
    ~WorkFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

}  // namespace

std::pair<double, double> best_mixture(const std::vector<std::pair<double, double>>& pairs) {
    static constexpr double weights[] = {0.01, 0.02, 0.05, 0.1,  0.15, 0.2,  0.25, 0.3,  0.35, 0.4, 0.45,
                                         0.5,  0.55, 0.6,  0.65, 0.7,  0.75, 0.8,  0.85, 0.9,  0.95};
    double best_weight = 0.0;
    double best = std::numeric_limits<double>::infinity();
    if (pairs.empty()) return {best_weight, best};
    for (const double weight : weights) {
        double log_sum = 0.0;
        for (const auto& [general, learnt] : pairs)
            log_sum += std::log((1.0 - weight) * general + weight * learnt);
        const double perplexity = std::exp(-log_sum / static_cast<double>(pairs.size()));
        if (perplexity < best) {
            best = perplexity;
            best_weight = weight;
        }
    }
    return {best_weight, best};
}

LearningResult learn_language(const LearningSettings& settings,
                              const std::function<void(const std::string&)>& say) {
    if (settings.language_dir.empty())
        throw std::runtime_error("no profile folder to write the language into");
    err_set_logfp(nullptr);  // the engine's library logs every step otherwise
    LearningResult result;
    // Taken first: a second run stops at once instead of after reading all its text.
    const ProfileLock lock(settings.language_dir, "--learn-text run");
    Vocabulary vocabulary = read_dictionary(settings.model_dir + "/en-us/cmudict-en-us.dict");
    std::vector<std::pair<std::string, std::string>> pronounced;  // words given a pronunciation here
    std::unordered_map<std::string, std::uint64_t> unknown;

    auto counts = std::make_unique<NgramCounts>(settings.max_ngrams);
    std::vector<std::uint32_t> held_back;  // the held-back sentences' words, word_break and sentence_done
    std::vector<std::uint32_t> sentence;
    std::vector<bool> breaks;
    bool broken = false;
    std::uint64_t sentence_number = 0;
    // Letter-to-sound rules read plain words; a lone letter or a run of over 20 is seldom a word said.
    const auto may_pronounce = [&](std::string_view word) {
        return settings.pronounce && word.size() >= 2 && word.size() <= 20 &&
               std::all_of(word.begin(), word.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    };
    TextWords words({[&](std::string_view word) {
                         const auto known = vocabulary.ids.find(std::string(word));
                         if (known != vocabulary.ids.end()) {
                             sentence.push_back(known->second);
                             breaks.push_back(broken);
                             broken = false;
                             return;
                         }
                         broken = true;
                         if (word.find('\x01') != std::string_view::npos) return;  // not UTF-8: no word
                         const auto seen = unknown.find(std::string(word));
                         if (seen == unknown.end() && may_pronounce(word) &&
                             pronounced.size() < settings.max_new_words &&
                             vocabulary.names.size() < NgramCounts::max_words) {
                             if (const auto phones = settings.pronounce(word)) {
                                 pronounced.emplace_back(word, *phones);
                                 sentence.push_back(vocabulary.add(std::string(word)));
                                 breaks.push_back(false);
                                 broken = false;
                                 return;
                             }
                         }
                         if (seen != unknown.end()) {
                             ++seen->second;
                         } else if (unknown.size() < max_unknown_listed) {
                             unknown.emplace(word, 1);
                         }
                     },
                     [&] {
                         breaks.push_back(broken);
                         broken = false;
                         if (!sentence.empty()) {
                             if (++sentence_number % held_back_every == held_back_every / 2) {
                                 ++result.held_back_sentences;
                                 for (std::size_t i = 0; i < sentence.size(); ++i) {
                                     if (breaks[i]) held_back.push_back(word_break);
                                     held_back.push_back(sentence[i]);
                                 }
                                 if (breaks.back()) held_back.push_back(word_break);
                                 held_back.push_back(sentence_done);
                             } else {
                                 counts->add_sentence(sentence, breaks);
                                 ++result.sentences;
                                 result.words += sentence.size();
                             }
                         }
                         sentence.clear();
                         breaks.clear();
                     }});

    const TextFiles files = find_text_files(settings.paths);
    for (const auto& refused : files.refused) say(refused + ", skipped");
    for (const auto& file : files.files) {
        const FileReading reading = read_text_file(file, words);
        if (!reading.note.empty()) say(file + ": " + reading.note);
        if (reading.read) {
            ++result.files_read;
            result.bytes_read += reading.bytes;
        }
    }
    if (counts->tokens() == 0)
        throw std::runtime_error("the text given holds no sentence of words the recogniser knows");
    if (result.held_back_sentences == 0) {
        throw std::runtime_error("too little text to judge: " + std::to_string(sentence_number) +
                                 " sentences (at least " + std::to_string(held_back_every / 2) +
                                 " are needed, a tenth of them held back)");
    }
    result.new_words = pronounced.size();
    result.unknown_word_count = unknown.size();
    result.unknown_words.assign(unknown.begin(), unknown.end());
    std::sort(result.unknown_words.begin(), result.unknown_words.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    result.pruned_at_most = counts->pruned_at_most();

    tidy_profile_part(settings.language_dir, is_learnt_language);
    const WorkFolder work{voice_profile_name(settings.language_dir) + ".work"};
    std::error_code error;
    fs::remove_all(work.path, error);
    fs::create_directories(work.path, error);
    if (error) throw std::runtime_error("cannot create " + work.path.string() + ": " + error.message());

    const std::unique_ptr<logmath_t, LogmathRelease> logmath(logmath_init(1.0001, 0, 0));
    if (!logmath) throw std::runtime_error("cannot set up the language model's arithmetic");
    const std::string general_path = settings.model_dir + "/en-us/en-us.lm.bin";
    const Model general(ngram_model_read(nullptr, general_path.c_str(), NGRAM_AUTO, logmath.get()));
    if (!general) throw std::runtime_error("cannot read the language model " + general_path);
    Scorer general_scorer(general.get(), logmath.get(), vocabulary.names);

    // The text says which words follow which; how often a word comes at all it knows from too little
    // writing, so the learnt model backs off to the general model's word frequencies. Backing off to the
    // text's own made every word of the text likelier wherever it stood, and read English of other kinds
    // suffered for it.
    say("learning: writing the model");
    const fs::path arpa = work.path / "words.arpa";
    {
        std::ofstream out(arpa, std::ios::trunc);
        const NgramCounts::Written written = counts->write_arpa(
            out, vocabulary.names, 0.7,
            [&](std::uint32_t word) { return general_scorer.probability(word, Scorer::none, Scorer::none); });
        out.close();
        if (!out) throw std::runtime_error("cannot write " + arpa.string());
        result.pairs = written.pairs;
        result.triples = written.triples;
    }
    counts.reset();
    const Model learnt(ngram_model_read(nullptr, arpa.c_str(), NGRAM_ARPA, logmath.get()));
    if (!learnt) throw std::runtime_error("cannot read back the learnt model " + arpa.string());
    const fs::path binary = work.path / learnt_model_file;
    if (ngram_model_write(learnt.get(), binary.c_str(), NGRAM_BIN) < 0)
        throw std::runtime_error("cannot write " + binary.string());
    fs::remove(arpa, error);

    // Both models score the same words: those the general one knows (the others it can't be compared on)
    // and each sentence's end.
    say("learning: judging it on the held-back sentences");
    Scorer learnt_scorer(learnt.get(), logmath.get(), vocabulary.names);
    std::vector<std::pair<double, double>> scored;
    std::uint32_t last = NgramCounts::sentence_start;
    std::uint32_t older = Scorer::none;
    for (const std::uint32_t token : held_back) {
        if (token == word_break) {
            last = older = Scorer::none;
            continue;
        }
        const std::uint32_t word = token == sentence_done ? NgramCounts::sentence_end : token;
        const double from_general = general_scorer.probability(word, last, older);
        if (from_general > 0.0)
            scored.emplace_back(from_general, learnt_scorer.probability(word, last, older));
        older = last;
        last = word;
        if (token == sentence_done) {
            last = NgramCounts::sentence_start;
            older = Scorer::none;
        }
    }
    result.held_back_words = scored.size();
    if (scored.empty())
        throw std::runtime_error("the held-back sentences hold no word the general model knows");
    double log_sum = 0.0;
    for (const auto& [from_general, from_learnt] : scored) log_sum += std::log(from_general);
    result.general_perplexity = std::exp(-log_sum / static_cast<double>(scored.size()));
    std::tie(result.weight, result.mixed_perplexity) = best_mixture(scored);
    if (!(result.mixed_perplexity < result.general_perplexity)) return result;

    std::string notes = "weight " + figure(result.weight) + "\ngeneral-perplexity " +
                        figure(result.general_perplexity) + "\nmixed-perplexity " +
                        figure(result.mixed_perplexity) + "\nsentences " + std::to_string(result.sentences) +
                        "\nwords " + std::to_string(result.words) + "\nheld-back-sentences " +
                        std::to_string(result.held_back_sentences) + "\nfiles " +
                        std::to_string(result.files_read) + "\n";
    write_file(work.path / language_notes_file, notes);
    std::string unknown_list;
    for (const auto& [word, count] : result.unknown_words)
        unknown_list += word + " " + std::to_string(count) + "\n";
    write_file(work.path / unknown_words_file, unknown_list);
    if (!pronounced.empty()) {
        std::string dictionary;
        for (const auto& [word, phones] : pronounced) dictionary += word + " " + phones + "\n";
        write_file(work.path / learnt_words_file, dictionary);
    }
    replace_voice_profile(work.path.string(), settings.language_dir);
    result.kept = true;
    return result;
}

}  // namespace server
