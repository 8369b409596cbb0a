#include "app/run_settings.h"

#include <cmath>
#include <cstdlib>
#include <ostream>

#include "app/command_line.h"
#include "app/console_messages.h"
#include "app/exchange_failure.h"
#include "app/file_options.h"
#include "platform/configuration_file.h"
#include "audio/wav_writer.h"
#include "platform/terminal.h"

namespace {

constexpr int audio_failure_status = 1;
#if defined(_WIN32)
constexpr const char* no_device_advice =
    "is a microphone connected, and enabled in Settings > System > Sound and allowed in Settings > Privacy > "
    "Microphone?";
#else
constexpr const char* no_device_advice =
    "is a microphone connected, and the sound server (PulseAudio or PipeWire) running? The ALSA configuration "
    "($ALSA_CONFIG_PATH, /etc/asound.conf, ~/.asoundrc) says which devices there are";
#endif

// The devices, or the failure told and its exit status.
std::variant<std::vector<InputDevice>, int> devices_or_status(
    const std::function<void(std::string_view)>& tell) {
    auto listed = [] {
        const AbortTold told = audio_library_abort_told();
        return list_input_devices();
    }();
    if (const auto* failure = std::get_if<AudioFailure>(&listed)) {
        tell("audio: " + failure->call + " failed: " + failure->reason);
        return audio_failure_status;
    }
    return std::get<std::vector<InputDevice>>(std::move(listed));
}

// The server the run sends takes to, or the exit status when the key can't be sent.
std::variant<transcription::Endpoint, int> server_of_run(const CommandLine& line,
                                                         const std::function<void(std::string_view)>& tell) {
    transcription::Endpoint server;
    if (!line.server.empty()) server.url = line.server;
    if (!line.model.empty()) server.model = line.model;
    if (const char* key = std::getenv("DICTATE_API_KEY"); key != nullptr) server.api_key = key;
    for (const char c : server.api_key) {
        // A line end would end the header and let the rest of the key pass as headers of its own.
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            tell("DICTATE_API_KEY holds a control character (a line end?), so it can't be sent as a key");
            return usage_status;
        }
    }
    transcription::UrlParts parts;
    std::string problem;
    if (transcription::split_server_url(server.url, parts, problem) && parts.scheme == "http" &&
        !transcription::is_loopback_host(parts.host))
        tell("the transcription server at " + server_of(server.url) +
             " is not on this machine and is reached by http://, not https://: the takes" +
             (server.api_key.empty() ? "" : " and DICTATE_API_KEY") + " travel to it unencrypted");
    return server;
}

}  // namespace

std::string device_row(const InputDevice& device) {
    std::string row = device.is_default ? "* " : "  ";
    const std::string number = std::to_string(device.index);
    row += std::string(number.size() < 3 ? 3 - number.size() : 0, ' ') + number + "  ";
    row += device.name + "  (" + device.host_api + ", " + std::to_string(std::lround(device.default_rate)) +
           " Hz)";
    return row;
}

std::variant<int, RunSettings> follow_command_line(int argc, const char* const* argv, std::ostream& out,
                                                   std::ostream& terminal,
                                                   const std::function<void(std::string_view)>& tell) {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    CommandLine line =
        read_command_line(arguments, std::getenv("DICTATE_DEVICE"), std::getenv("DICTATE_SERVER"));
    const std::string config_path = configuration_file_path();
    // Printing and listing need nothing of the file, and work beside a broken one.
    if ((line.action == CommandLine::Action::record || line.action == CommandLine::Action::refuse) &&
        !config_path.empty()) {
        const ConfigurationFile file = read_configuration_file(config_path);
        if (!file.problem.empty()) {
            tell("configuration file " + config_path + " can't be read: " + file.problem);
            return usage_status;
        }
        const FileOptions options = read_file_options(file.bytes, config_path);
        if (!options.problem.empty()) {
            tell(options.problem);
            return usage_status;
        }
        const std::vector<std::string_view> file_arguments(options.arguments.begin(),
                                                           options.arguments.end());
        line = read_command_line(arguments, std::getenv("DICTATE_DEVICE"), std::getenv("DICTATE_SERVER"),
                                 file_arguments);
    }
    switch (line.action) {
        case CommandLine::Action::refuse:
            tell(line.problem);
            return usage_status;
        case CommandLine::Action::help:
            out << help_text(config_path) << std::flush;
            return 0;
        case CommandLine::Action::version:
            out << version_text() << std::flush;
            return 0;
        case CommandLine::Action::list_devices: {
            auto devices = devices_or_status(tell);
            if (const int* status = std::get_if<int>(&devices)) return *status;
            const auto& listed = std::get<std::vector<InputDevice>>(devices);
            // Nothing to record from is a failure to act on, not an empty list.
            if (listed.empty()) {
                tell(std::string("no input device found: ") + no_device_advice);
                return audio_failure_status;
            }
            out << "Input devices (* marks the default):\n";
            for (const auto& d : listed) out << console_safe(device_row(d)) << '\n';
            out << std::flush;
            return 0;
        }
        case CommandLine::Action::record:
            break;
    }

    RunSettings settings;
    settings.delivery = line.delivery;
    settings.pause_ends_after = static_cast<std::uint64_t>(line.auto_stop * WavHeader::sample_rate);
    auto server = server_of_run(line, tell);
    if (const int* status = std::get_if<int>(&server)) return *status;
    settings.server = std::move(std::get<transcription::Endpoint>(server));
    if (!line.quiet && stderr_takes_cursor_sequences())
        settings.status = StatusLine(terminal, input_echoes_keys());
    if (line.device.empty()) return settings;

    auto devices = devices_or_status(tell);
    if (const int* status = std::get_if<int>(&devices)) return *status;
    const DeviceChoice choice = choose_input_device(std::get<std::vector<InputDevice>>(devices), line.device);
    if (choice.outcome == DeviceChoice::Outcome::found) {
        settings.device = choice.device;
        return settings;
    }
    tell(choice.outcome == DeviceChoice::Outcome::ambiguous
             ? "more than one input device is named like '" + line.device +
                   "'; give more of the name, or the number:"
         : choice.candidates.empty()
             ? "no input device is named like '" + line.device + "', and there are none at all"
             : "no input device is named like '" + line.device + "'; the input devices are:");
    for (const auto& d : choice.candidates) tell(device_row(d));
    return usage_status;
}
