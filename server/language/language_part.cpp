#include "server/language/language_part.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "server/adaptation/profile_swap.h"

namespace server {

bool is_learnt_language(const std::string& dir) {
    std::error_code ignored;
    return !dir.empty() && std::filesystem::is_regular_file(dir + "/" + learnt_model_file, ignored) &&
           std::filesystem::is_regular_file(dir + "/" + language_notes_file, ignored);
}

std::optional<LearntLanguage> find_learnt_language(const std::string& language_dir) {
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
            return LearntLanguage{found + "/" + learnt_model_file, weight};
        }
    }
    throw std::runtime_error(notes + " gives no mixing weight between 0 and 1");
}

}  // namespace server
