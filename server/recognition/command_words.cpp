#include "server/recognition/command_words.h"

#include <ngram_model.h>
#include <pocketsphinx.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string_view>
#include <vector>

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

// The engine reads language models from files only: this one is a file in memory, never on disk.
class MemoryFile {
public:
    explicit MemoryFile(const std::string& content) : fd_(memfd_create("dictate-commands-lm", MFD_CLOEXEC)) {
        if (fd_ < 0) throw std::runtime_error(std::string("memfd_create failed: ") + std::strerror(errno));
        for (std::size_t done = 0; done < content.size();) {
            const ssize_t n = write(fd_, content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const std::string reason = std::strerror(errno);
                close(fd_);
                throw std::runtime_error("cannot write the commands' language model: " + reason);
            }
            done += static_cast<std::size_t>(n);
        }
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};

struct ModelRelease {
    void operator()(ngram_model_t* model) const { ngram_model_free(model); }
};
using Model = std::unique_ptr<ngram_model_t, ModelRelease>;

}  // namespace

void listen_for_commands(ps_decoder_t* decoder, const std::string& lm_path, const LearntLanguage& learnt) {
    add_missing_words(decoder);
    cmd_ln_t* config = ps_get_config(decoder);
    logmath_t* logmath = ps_get_logmath(decoder);
    const Model words(ngram_model_read(config, lm_path.c_str(), NGRAM_AUTO, logmath));
    if (!words) throw std::runtime_error("cannot read the language model " + lm_path);
    const MemoryFile command_file(command_model_text());
    const Model commands(ngram_model_read(config, command_file.path().c_str(), NGRAM_ARPA, logmath));
    if (!commands) throw std::runtime_error("cannot read the commands' language model");

    // The set mixes the two models' scores after the language weight has scaled them, so the commands'
    // mixing weight acts on scores already raised to that weight: 10^(weight * floor) gives a command
    // word the score that a probability of 10^floor would, and any other word loses nothing measurable.
    const float language_weight = cmd_ln_float32_r(config, "-lw");
    const float32 floor = static_cast<float32>(std::pow(10.0, language_weight * command_floor_log10));
    if (!(floor > 0.0f)) throw std::runtime_error("the commands' floor is below what a float holds");
    std::vector<ngram_model_t*> models{words.get(), commands.get()};
    std::vector<const char*> names{"words", "commands"};
    std::vector<float32> mixing{1.0f, floor};
    Model user;
    if (!learnt.model_path.empty()) {
        user.reset(ngram_model_read(config, learnt.model_path.c_str(), NGRAM_AUTO, logmath));
        if (!user) throw std::runtime_error("cannot read the learnt language model " + learnt.model_path);
        models.push_back(user.get());
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
    const Model mixed(ngram_model_set_init(config, models.data(), const_cast<char**>(names.data()),
                                           mixing.data(), static_cast<int32>(models.size())));
    if (!mixed) throw std::runtime_error("cannot mix the commands into the language model");
    if (ps_set_lm(decoder, "dictation", mixed.get()) < 0 || ps_set_search(decoder, "dictation") < 0)
        throw std::runtime_error("cannot search with the commands' language model");
}

}  // namespace server
