#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace server {

// Two hours of 48 kHz 16-bit mono (691.2 MB) plus room for the WAV header and the multipart framing.
inline constexpr double default_max_upload_mb = 692.0;

struct Options {
    std::string host = "127.0.0.1";
    int port = 4999;  // 0: let the system pick a free port (it is printed once bound)
    std::uint64_t max_upload_bytes = static_cast<std::uint64_t>(default_max_upload_mb * 1e6);
    std::string model_dir;
    bool raw_words = false;  // answer the recogniser's words as they are, without punctuation or capitals
    bool streaming = true;   // decode a chunked upload while it arrives, and say so in /health
    // --profile: the folder of everything learnt about the user (voice/, words.txt, language/); empty
    // for the default one (see default_profile_dir()).
    std::string profile_dir;
    std::string voice_dir;  // --voice: the voice profile to decode with, or to write with --adapt
    std::vector<std::string> adapt_dirs;  // --adapt, once or more: adapt the profile from these folders
    // --no-profile: decode with the model alone, even when the user has a profile.
    bool no_profile = false;
    // --learn-text, once or more: learn the user's phrasing from these files and folders of writing.
    std::vector<std::string> learn_text_paths;
    std::string words_file;  // --words: the user's word list; empty for the profile's words.txt
};

struct ShowHelp {};

struct UsageError {
    std::string message;
};

// Reads the command line (without the program name). Accepts "--name value" and "--name=value".
// `model_dir` starts as `default_model_dir`. Pure.
std::variant<Options, ShowHelp, UsageError> parse_options(std::span<const std::string_view> args,
                                                          std::string default_model_dir);

// The text --help prints.
std::string usage_text();

}  // namespace server
