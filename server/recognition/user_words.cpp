#include "server/recognition/user_words.h"

#include "server/recognition/word_list.h"

namespace server {

std::optional<std::vector<WordSound>> load_user_words(const std::string& given_path,
                                                      const std::string& default_path,
                                                      const std::string& model_dir,
                                                      const std::function<void(std::string_view)>& tell) {
    const std::string path = given_path.empty() ? default_path : given_path;
    if (path.empty()) return std::vector<WordSound>{};
    std::string failure;
    bool absent = false;
    const auto text = read_word_list_file(path, failure, absent);
    if (!text) {
        if (given_path.empty() && absent) return std::vector<WordSound>{};
        tell(failure);
        if (!given_path.empty()) return std::nullopt;
        return std::vector<WordSound>{};
    }
    const WordList list = parse_word_list(*text, path);
    for (const std::string& problem : list.problems) tell(problem);
    const Pronunciations dictionary =
        read_pronunciations(model_dir + "/en-us/cmudict-en-us.dict", list.words);
    SoundedWords sounded = sound_words(list.words, dictionary, synthesiser_letter_to_sound(), path);
    for (const std::string& problem : sounded.problems) tell(problem);
    if (!sounded.words.empty() || !given_path.empty())
        tell(std::to_string(sounded.words.size()) + (sounded.words.size() == 1 ? " word" : " words") +
             " from " + path);
    return std::move(sounded.words);
}

}  // namespace server
