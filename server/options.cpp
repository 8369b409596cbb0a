#include "server/options.h"

#include <charconv>
#include <cmath>
#include <optional>

namespace server {
namespace {

std::optional<int> parse_port(std::string_view text) {
    int port = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc() || end != text.data() + text.size() || port < 0 || port > 65535)
        return std::nullopt;
    return port;
}

std::optional<double> parse_megabytes(std::string_view text) {
    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value <= 0.0 ||
        value > 1e9) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string usage_text() {
    return "usage: dictate-server [--host ADDRESS] [--port N] [--max-upload-mb MB] [--model-dir DIR]\n"
           "                      [--raw-words] [--no-streaming] [--profile DIR | --no-profile]\n"
           "                      [--voice DIR] [--words FILE] [--adapt PAIRS_DIR]... [--learn-text PATH...]\n"
           "Transcribes WAV uploads offline: POST /transcribe (multipart/form-data, part \"audio\").\n"
           "  --host ADDRESS      address to listen on (default 127.0.0.1)\n"
           "  --port N            port to listen on, 0 for any free one (default 4999)\n"
           "  --max-upload-mb MB  largest upload accepted, in megabytes of 10^6 bytes (default 692)\n"
           "  --model-dir DIR     speech model folder holding en-us/\n"
           "  --raw-words         answer plain lower-case words: no spoken punctuation, no capitals\n"
           "                      (the word list's entries still as listed)\n"
           "  --no-streaming      decode an upload only once all of it has arrived, and tell clients\n"
           "                      (GET /health) to send finished takes\n"
           "  --profile DIR       the user's profile: the voice (voice/), the words (words.txt) and the\n"
           "                      learnt language (language/) (default $XDG_DATA_HOME/dictate, else\n"
           "                      ~/.local/share/dictate); the server uses what it holds\n"
           "  --voice DIR         decode with the voice profile in DIR instead of the profile's voice\n"
           "  --no-profile        decode with the stock model alone: no voice, no words, no language\n"
           "  --words FILE        the names and terms to hear, one a line, as they should be written\n"
           "                      (default: the profile's words.txt, if there is one)\n"
           "  --adapt PAIRS_DIR   adapt the voice profile to the speaker of the takes in PAIRS_DIR\n"
           "                      (NAME.wav with NAME.txt, or STEM_output.wav with STEM_corrected.txt;\n"
           "                      give it again for more folders), print the figures and exit\n"
           "  --learn-text PATH...\n"
           "                      learn the phrasing of the user's own writing (text files, or folders\n"
           "                      of .txt and .md files) into the profile's language, print the\n"
           "                      figures and exit\n"
           "  --help              show this text\n";
}

std::variant<Options, ShowHelp, UsageError> parse_options(std::span<const std::string_view> args,
                                                          std::string default_model_dir) {
    Options options;
    options.model_dir = std::move(default_model_dir);
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string_view> value;
        if (const auto equals = name.find('='); name.starts_with("--") && equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        if (name == "--help" || name == "-h") return ShowHelp{};
        if (name == "--raw-words") {
            if (value) return UsageError{"--raw-words takes no value"};
            options.raw_words = true;
            continue;
        }
        if (name == "--no-streaming") {
            if (value) return UsageError{"--no-streaming takes no value"};
            options.streaming = false;
            continue;
        }
        if (name == "--no-profile") {
            if (value) return UsageError{"--no-profile takes no value"};
            options.no_profile = true;
            continue;
        }
        if (name != "--host" && name != "--port" && name != "--max-upload-mb" && name != "--model-dir" &&
            name != "--voice" && name != "--adapt" && name != "--profile" && name != "--learn-text" &&
            name != "--words") {
            return UsageError{"unknown option " + std::string(name)};
        }
        if (!value) {
            if (i + 1 == args.size()) return UsageError{std::string(name) + " needs a value"};
            value = args[++i];
        }
        if (name == "--host") {
            if (value->empty()) return UsageError{"--host needs an address"};
            options.host = *value;
        } else if (name == "--port") {
            const auto port = parse_port(*value);
            if (!port) return UsageError{"--port wants 0..65535, not '" + std::string(*value) + "'"};
            options.port = *port;
        } else if (name == "--max-upload-mb") {
            const auto mb = parse_megabytes(*value);
            if (!mb)
                return UsageError{"--max-upload-mb wants a positive number, not '" + std::string(*value) +
                                  "'"};
            options.max_upload_bytes = static_cast<std::uint64_t>(*mb * 1e6);
        } else if (name == "--words") {
            if (value->empty()) return UsageError{"--words needs a file"};
            options.words_file = *value;
        } else if (name == "--voice" || name == "--adapt" || name == "--profile") {
            if (value->empty()) return UsageError{std::string(name) + " needs a folder"};
            if (name == "--voice") options.voice_dir = *value;
            if (name == "--adapt") options.adapt_dirs.emplace_back(*value);
            if (name == "--profile") options.profile_dir = *value;
        } else if (name == "--learn-text") {
            if (value->empty()) return UsageError{"--learn-text needs a file or a folder"};
            options.learn_text_paths.emplace_back(*value);
            // --learn-text PATH... : the paths after it, up to the next option, are all writing.
            while (i + 1 < args.size() && !args[i + 1].empty() && !args[i + 1].starts_with("-"))
                options.learn_text_paths.emplace_back(args[++i]);
        } else {
            if (value->empty()) return UsageError{"--model-dir needs a folder"};
            options.model_dir = *value;
        }
    }
    if (options.no_profile && !options.voice_dir.empty())
        return UsageError{"--no-profile and --voice name different models; give one of them"};
    if (options.no_profile && !options.profile_dir.empty())
        return UsageError{"--no-profile and --profile name different models; give one of them"};
    if (options.no_profile && !options.adapt_dirs.empty())
        return UsageError{"--no-profile is for serving; --adapt writes a profile"};
    if (options.no_profile && !options.learn_text_paths.empty())
        return UsageError{"--no-profile is for serving; --learn-text writes a profile"};
    if (!options.adapt_dirs.empty() && !options.learn_text_paths.empty())
        return UsageError{"--adapt and --learn-text are separate runs; give one of them"};
    return options;
}

}  // namespace server
