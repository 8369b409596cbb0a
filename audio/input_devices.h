#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "audio/audio_failure.h"

// One device the audio library can record from, as it lists them.
struct InputDevice {
    int index = -1;        // the library's number for it; the same while the list of devices doesn't change
    std::string name;      // as the host API words it (UTF-8)
    std::string host_api;  // e.g. "ALSA", "Windows WASAPI"
    double default_rate = 0;
    bool is_default = false;  // the system's default input, which a take records from unless told otherwise
};

// Every device with at least one input channel, in the library's order. Initialises the library and shuts it
// down again, so not while a MicrophoneCapture is started. Main thread.
std::variant<std::vector<InputDevice>, AudioFailure> list_input_devices();

// The device that `wanted` names among `devices`: a number is an index; anything else is matched against the
// names, ignoring ASCII case: the one name that contains it, or, among several, the one that equals it.
struct DeviceChoice {
    enum class Outcome { found, unknown, ambiguous };
    Outcome outcome = Outcome::unknown;
    std::optional<InputDevice> device;    // when found
    std::vector<InputDevice> candidates;  // ambiguous: those that matched; unknown: every device
};
DeviceChoice choose_input_device(const std::vector<InputDevice>& devices, std::string_view wanted);

// While the library is initialised: the index under which the library now lists a device of `device`'s name
// and host API, or -1 when there is none (it was unplugged since it was chosen). Main thread.
int current_index_of(const InputDevice& device);
