#include "server/adaptation/adaptation_pairs.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <system_error>

#include "server/adaptation/adaptation_input.h"

namespace server {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view corrected_suffix = "_corrected";
constexpr std::string_view take_suffix = "_output";

}  // namespace

std::vector<std::string> spoken_words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    auto finish = [&] {
        while (!word.empty() && word.back() == '\'') word.pop_back();
        while (!word.empty() && word.front() == '\'') word.erase(word.begin());
        if (!word.empty()) words.push_back(word);
        word.clear();
    };
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '\'' || byte >= 0x80) {
            word.push_back(static_cast<char>(std::tolower(byte)));
        } else {
            finish();
        }
    }
    finish();
    return words;
}

std::unordered_set<std::string> dictionary_words(const std::string& dictionary_path) {
    std::ifstream in(dictionary_path);
    if (!in) throw std::runtime_error("cannot read the dictionary " + dictionary_path);
    std::unordered_set<std::string> words;
    for (std::string line; std::getline(in, line);) {
        std::string word = line.substr(0, line.find_first_of(" \t"));
        if (const auto alternative = word.find('('); alternative != std::string::npos)
            word.resize(alternative);
        if (!word.empty()) words.insert(word);
    }
    return words;
}

PairSearch find_pairs(const std::vector<std::string>& folders,
                      const std::unordered_set<std::string>& dictionary) {
    std::map<std::string, fs::path> wavs;   // by file name
    std::map<std::string, fs::path> texts;  // by pair name
    std::vector<std::string> roots;         // where links may lead
    for (const auto& folder : folders) {
        std::error_code error;
        fs::directory_iterator entries(folder, error);
        if (error) throw std::runtime_error("cannot list " + folder + ": " + error.message());
        roots.push_back(fs::canonical(folder).string());
        for (const auto& entry : entries) {
            const fs::path& path = entry.path();
            if (path.extension() == ".wav") wavs.emplace(path.filename().string(), path);
            if (path.extension() == ".txt") texts.emplace(path.stem().string(), path);
        }
    }
    PairSearch found;
    const auto refuse = [&found](const fs::path& path, const Refusal& refusal) {
        found.refused.push_back(path.string() + ": " + refusal.reason);
    };
    for (const auto& [name, text_path] : texts) {
        std::string wav_name = name + ".wav";
        if (name.ends_with(corrected_suffix)) {
            const std::string stem = name.substr(0, name.size() - corrected_suffix.size());
            wav_name = stem + std::string(take_suffix) + ".wav";
        }
        const auto wav = wavs.find(wav_name);
        if (wav == wavs.end()) continue;
        const InputPath text_file = resolve_input(text_path.string(), roots);
        const InputPath wav_file = resolve_input(wav->second.string(), roots);
        if (text_file.refusal || wav_file.refusal) {
            if (text_file.refusal) refuse(text_path, text_file.refusal);
            if (wav_file.refusal) refuse(wav->second, wav_file.refusal);
            continue;
        }
        const InputText text = read_input_text(text_file.path);
        if (text.refusal) {
            refuse(text_path, text.refusal);
            continue;
        }
        AdaptationPair pair{name, wav_file.path, spoken_words(text.text)};
        if (pair.words.empty()) {
            ++found.empty_texts;
            continue;
        }
        const auto unknown = std::find_if(pair.words.begin(), pair.words.end(), [&](const std::string& word) {
            return !dictionary.contains(word);
        });
        if (unknown != pair.words.end()) {
            found.unknown_words.push_back(name + " (" + *unknown + ")");
            continue;
        }
        found.pairs.push_back(std::move(pair));
    }
    return found;
}

}  // namespace server
