#include "server/language/language_part.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "server/adaptation/profile_swap.h"

namespace server {

bool is_learnt_language(const std::string& dir) {
    std::error_code ignored;
    return !dir.empty() && std::filesystem::is_regular_file(dir + "/" + learnt_model_file, ignored) &&
           std::filesystem::is_regular_file(dir + "/" + language_notes_file, ignored);
}

namespace {

// The sounds of a words.dict line, or the reason it is none.
std::string learnt_word(const std::string& line, WordSound& word) {
    std::istringstream fields(line);
    if (!(fields >> word.token)) return "no word";
    if (word.token.find('(') != std::string::npos) return "\"" + word.token + "\" is no plain word";
    std::string phones;
    for (std::string phone; fields >> phone;) {
        if (!is_model_phone(phone)) return "\"" + phone + "\" is no phone of the acoustic model";
        phones += (phones.empty() ? "" : " ") + phone;
    }
    if (phones.empty()) return "\"" + word.token + "\" has no phones";
    word.phones = {phones};
    return {};
}

std::vector<WordSound> read_learnt_words(const std::string& path,
                                         const std::function<void(const std::string&)>& tell) {
    std::vector<WordSound> words;
    std::ifstream in(path);
    if (!in) {
        std::error_code ignored;
        if (!std::filesystem::exists(path, ignored)) return words;  // learnt before words got sounds
        throw std::runtime_error("cannot read " + path);
    }
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        WordSound word;
        const std::string problem = learnt_word(line, word);
        if (problem.empty()) {
            words.push_back(std::move(word));
        } else if (tell) {
            tell(path + ":" + std::to_string(number) + ": " + problem + "; skipped");
        }
    }
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return words;
}

}  // namespace

std::optional<LearntLanguage> find_learnt_language(const std::string& language_dir,
                                                   const std::function<void(const std::string&)>& tell) {
    const std::string found = find_profile_part(language_dir, is_learnt_language);
    if (found.empty()) return std::nullopt;
    const std::string notes = found + "/" + language_notes_file;
    std::ifstream in(notes);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string name;
        double weight = -1.0;
        if (fields >> name >> weight && name == "weight") {
            if (!(weight > 0.0 && weight < 1.0)) break;
            return LearntLanguage{found + "/" + learnt_model_file, weight,
                                  read_learnt_words(found + "/" + learnt_words_file, tell)};
        }
    }
    throw std::runtime_error(notes + " gives no mixing weight between 0 and 1");
}

}  // namespace server
