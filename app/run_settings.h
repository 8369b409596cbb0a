#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/status_line.h"
#include "app/text_delivery.h"
#include "audio/input_devices.h"
#include "transcription/server_address.h"

// How a recording run goes, as the command line and the console have it.
struct RunSettings {
    std::optional<InputDevice> device;   // empty: the default input device
    StatusLine status;                   // off with --quiet, or when standard error isn't a terminal
    DeliveryChoice delivery;             // where each text goes besides the screen and its file
    transcription::Endpoint server;      // --server or DICTATE_SERVER, --model, DICTATE_API_KEY
    std::uint64_t pause_ends_after = 0;  // --auto-stop in samples; 0: only Enter ends a take
};

// Follows the command line (command_line.h) before any take: --help, --version and --list-devices print on
// `out` and give the exit status (0; 1 when the audio library can't list the devices); a line that can't be
// followed, or a device that isn't there or isn't named unambiguously, is told through `tell` with the
// devices that could be meant, and gives usage_status, as does a DICTATE_API_KEY that can't be sent (a
// control character in it; the key itself is never told). Otherwise the settings of the run, whose status
// line draws on `terminal` (standard error); a server elsewhere reached by plain http is told through `tell`
// in one line, since the takes travel to it unencrypted. Main thread, before the first take.
std::variant<int, RunSettings> follow_command_line(int argc, const char* const* argv, std::ostream& out,
                                                   std::ostream& terminal,
                                                   const std::function<void(std::string_view)>& tell);

// One row of --list-devices: "*" for the default, the number, the name, and the host API and default rate.
std::string device_row(const InputDevice& device);
