#include "app/command_line.h"

#include <charconv>

#include "transcription/server_address.h"

namespace {

constexpr std::string_view device_option = "--device";

// The option named and the reason, with the way to the list of options.
std::string refusal(std::string_view what) {
    return std::string(what) + "; dictate --help lists the options";
}

// An option that takes a value, given as "--name VALUE" or "--name=VALUE": true when arguments[i] is it,
// with `into` set and i moved past the value, or `problem` set when the value is missing or empty.
bool value_option(const std::vector<std::string_view>& arguments, std::size_t& i, std::string_view name,
                  std::string_view needs, std::string& into, std::string& problem) {
    const std::string_view argument = arguments[i];
    if (argument == name) {
        if (i + 1 == arguments.size() || arguments[i + 1].empty())
            problem = refusal(std::string(name) + " needs " + std::string(needs));
        else
            into = arguments[++i];
        return true;
    }
    if (!argument.starts_with(name) || argument.substr(name.size(), 1) != "=") return false;
    into = argument.substr(name.size() + 1);
    if (into.empty()) problem = refusal(std::string(argument) + " needs " + std::string(needs));
    return true;
}

// A flag, given as "--name", or as "--name=VALUE" so that a value from the configuration file can be turned
// off on the command line: true when arguments[i] is it, with `into` set, or `problem` set for a value that
// is none of true, false, yes and no.
bool flag_option(std::string_view argument, std::string_view name, bool& into, std::string& problem) {
    if (argument == name) {
        into = true;
        return true;
    }
    if (!argument.starts_with(name) || argument.substr(name.size(), 1) != "=") return false;
    const std::string_view value = argument.substr(name.size() + 1);
    if (value == "true" || value == "yes")
        into = true;
    else if (value == "false" || value == "no")
        into = false;
    else
        problem =
            refusal(std::string(name) + " is true or false (or yes or no), not '" + std::string(value) + "'");
    return true;
}

// --auto-stop's value: a number of seconds, from a tenth of one (a breath is no pause) to an hour.
bool seconds_of_quiet(std::string_view text, double& seconds) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    return error == std::errc{} && end == text.data() + text.size() && seconds >= 0.1 && seconds <= 3600;
}

}  // namespace

CommandLine read_command_line(const std::vector<std::string_view>& own_arguments, const char* device_variable,
                              const char* server_variable,
                              const std::vector<std::string_view>& file_arguments) {
    CommandLine line;
    std::vector<std::string_view> arguments(file_arguments);
    arguments.insert(arguments.end(), own_arguments.begin(), own_arguments.end());
    bool server_given = false;
    // Set for this run only, the variables win over the file; the command line wins over both.
    const auto take_variables = [&] {
        if (device_variable != nullptr && *device_variable != '\0') line.device = device_variable;
        if (server_variable != nullptr && *server_variable != '\0') {
            line.server = server_variable;
            server_given = false;
        }
    };
    if (file_arguments.empty()) take_variables();
    bool help = false, version = false, list = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i == file_arguments.size() && i > 0) take_variables();
        const std::string_view argument = arguments[i];
        const bool server = value_option(arguments, i, "--server", "the address of a transcription server",
                                         line.server, line.problem);
        if (server ||
            value_option(arguments, i, "--model", "the name of a model", line.model, line.problem)) {
            if (!line.problem.empty()) {
                line.action = CommandLine::Action::refuse;
                return line;
            }
            server_given = server_given || server;
            continue;
        }
        if (std::string seconds;
            value_option(arguments, i, "--auto-stop", "a number of seconds", seconds, line.problem)) {
            if (line.problem.empty() && !seconds_of_quiet(seconds, line.auto_stop))
                line.problem =
                    refusal("--auto-stop needs a number of seconds from 0.1 to 3600, not '" + seconds + "'");
            if (!line.problem.empty()) {
                line.action = CommandLine::Action::refuse;
                return line;
            }
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            help = true;
        } else if (argument == "--version" || argument == "-V") {
            version = true;
        } else if (argument == "--list-devices" || argument == "-l") {
            list = true;
        } else if (argument == "-q") {
            line.quiet = true;
        } else if (flag_option(argument, "--quiet", line.quiet, line.problem) ||
                   flag_option(argument, "--copy", line.delivery.copy, line.problem) ||
                   flag_option(argument, "--type", line.delivery.type, line.problem) ||
                   flag_option(argument, "--type-newlines", line.delivery.type_newlines, line.problem)) {
            if (!line.problem.empty()) {
                line.action = CommandLine::Action::refuse;
                return line;
            }
        } else if (argument == device_option || argument == "-d") {
            if (i + 1 == arguments.size() || arguments[i + 1].empty()) {
                line.problem =
                    refusal(std::string(argument) + " needs the name or the number of an input device");
                line.action = CommandLine::Action::refuse;
                return line;
            }
            line.device = arguments[++i];
        } else if (argument.substr(0, device_option.size() + 1) == "--device=") {
            line.device = argument.substr(device_option.size() + 1);
            if (line.device.empty()) {
                line.problem = refusal("--device= needs the name or the number of an input device");
                line.action = CommandLine::Action::refuse;
                return line;
            }
        } else {
            line.problem =
                refusal(argument.substr(0, 1) == "-" ? "unknown option '" + std::string(argument) + "'"
                                                     : "unexpected argument '" + std::string(argument) +
                                                           "': dictate takes options only");
            line.action = CommandLine::Action::refuse;
            return line;
        }
    }
    if (own_arguments.empty() && !file_arguments.empty()) take_variables();
    // Alone it would type nothing; taken for --type, it would type into a window no one asked to type into.
    if (line.delivery.type_newlines && !line.delivery.type && !help && !version && !list) {
        line.problem = refusal("--type-newlines goes with --type");
        line.action = CommandLine::Action::refuse;
        return line;
    }
    if (help) {
        line.action = CommandLine::Action::help;
    } else if (version) {
        line.action = CommandLine::Action::version;
    } else if (list) {
        line.action = CommandLine::Action::list_devices;
    } else if (!line.server.empty()) {
        transcription::UrlParts parts;
        std::string problem;
        if (!transcription::split_server_url(line.server, parts, problem)) {
            line.problem = refusal((server_given ? "--server '" : "DICTATE_SERVER '") + line.server +
                                   "' can't be used: " + problem);
            line.action = CommandLine::Action::refuse;
        }
    }
    return line;
}

namespace {

// The usage, what a run does, its keys and its options.
std::string options_text() {
    return "Usage: dictate [--device NAME-OR-NUMBER] [--quiet] [--server URL] [--model NAME]\n"
           "               [--copy] [--type [--type-newlines]] [--auto-stop SECONDS]\n"
           "       dictate --list-devices | --help | --version\n"
           "\n"
           "Records from the microphone until Enter, keeps the take as a 48 kHz mono 16-bit WAV file in\n"
           "C:/Whisper/ (a folder of that name under the current folder on Linux), sends it to the\n"
           "transcription server (http://localhost:4999/transcribe unless --server names another), prints\n"
           "the text and saves it in D:/Whisper/. Then the next take starts. Both folders must exist.\n"
           "\n"
           "Keys:\n"
           "  Enter       ends the take; the next one starts once its text is in\n"
           "  Ctrl-D      (Ctrl-Z then Enter on Windows) ends the take and then the program\n"
           "  Ctrl-C      ends the program after keeping the take that records\n"
           "\n"
           "Options:\n"
           "      --auto-stop SECONDS      also end a take once SECONDS of quiet follow speech, as Enter\n"
           "                               would; a take that has heard no speech goes on until Enter\n"
           "  -d, --device NAME-OR-NUMBER  record from this input device: its number in the list, or a part\n"
           "                               of its name (any case) that no other device's name has;\n"
           "                               DICTATE_DEVICE does the same when the option is not given\n"
           "      --copy                   put each take's text on the clipboard too (Linux: wl-copy, xclip\n"
           "                               or xsel must be installed)\n"
           "      --type                   type each take's text and a space into the window that has the\n"
           "                               keyboard focus, whichever it is (Linux: xdotool, wtype or ydotool)\n"
           "      --type-newlines          with --type, type a line end in the text as Enter (else a space)\n"
           "  -l, --list-devices           list the input devices and exit\n"
           "  -q, --quiet                  no recording time and input level under the prompt\n"
           "      --server URL             send takes to this http:// or https:// address instead;\n"
           "                               DICTATE_SERVER does the same when the option is not given. An\n"
           "                               address ending in /v1/audio/transcriptions is spoken to in\n"
           "                               that widespread API, with DICTATE_API_KEY as its key if set\n"
           "      --model NAME             the model that API is asked for (default whisper-1)\n"
           "  -h, --help                   show this and exit\n"
           "  -V, --version                show the version and exit\n";
}

}  // namespace

std::string help_text(std::string_view config_path) {
    return options_text() +
           "\n"
           "Options can also be set for every run in the configuration file\n"
           "  " +
           (config_path.empty() ? std::string("(none: no home folder)") : std::string(config_path)) +
           "\n"
           "one \"option = value\" line each (the long option without its dashes; a line that starts with #\n"
           "is a comment). The command line, DICTATE_DEVICE and DICTATE_SERVER win over the file. The flags\n"
           "also take =true or =false (or =yes, =no), to turn off for one run what the file turns on.\n"
           "\n"
           "Exit status: 0 when input ends (Ctrl-D), 128 + the signal's number after Ctrl-C (130) and the\n"
           "like, 1 when the audio library fails, 2 for a command line or configuration file that\n"
           "can't be followed.\n";
}

std::string version_text() { return "dictate " DICTATE_VERSION "\n"; }
