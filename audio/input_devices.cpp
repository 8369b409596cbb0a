#include "audio/input_devices.h"

#include <portaudio.h>

#include <algorithm>
#include <cctype>
#include <iterator>

#include "platform/quiet_stderr.h"

namespace {

std::string lower_ascii(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lowered;
}

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The library's input devices as it lists them now; it must be initialised.
std::vector<InputDevice> listed_now() {
    std::vector<InputDevice> devices;
    const PaDeviceIndex count = Pa_GetDeviceCount();
    const PaDeviceIndex default_input = Pa_GetDefaultInputDevice();
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info == nullptr || info->maxInputChannels < 1) continue;
        const PaHostApiInfo* host = Pa_GetHostApiInfo(info->hostApi);
        devices.push_back(InputDevice{i, info->name ? info->name : "", host && host->name ? host->name : "",
                                      info->defaultSampleRate, i == default_input});
    }
    return devices;
}

}  // namespace

std::variant<std::vector<InputDevice>, AudioFailure> list_input_devices() {
    QuietStderr quiet;  // the audio stack's probing noise, as for a take
    if (const PaError e = Pa_Initialize(); e != paNoError)
        return AudioFailure{"Pa_Initialize", Pa_GetErrorText(e)};
    std::vector<InputDevice> devices = listed_now();
    Pa_Terminate();
    return devices;
}

DeviceChoice choose_input_device(const std::vector<InputDevice>& devices, std::string_view wanted) {
    DeviceChoice choice;
    std::vector<InputDevice> matched;
    if (all_digits(wanted)) {
        // Nine digits at most: anything longer can't be an index, and must not overflow the conversion.
        const int index = wanted.size() <= 9 ? std::stoi(std::string(wanted)) : -1;
        for (const auto& d : devices) {
            if (d.index == index) matched.push_back(d);
        }
    } else {
        const std::string needle = lower_ascii(wanted);
        for (const auto& d : devices) {
            if (lower_ascii(d.name).find(needle) != std::string::npos) matched.push_back(d);
        }
        if (matched.size() > 1) {
            std::vector<InputDevice> exact;
            std::copy_if(matched.begin(), matched.end(), std::back_inserter(exact),
                         [&](const InputDevice& d) { return lower_ascii(d.name) == needle; });
            if (exact.size() == 1) matched = exact;
        }
    }
    if (matched.size() == 1) {
        choice.outcome = DeviceChoice::Outcome::found;
        choice.device = matched.front();
    } else if (matched.empty()) {
        choice.outcome = DeviceChoice::Outcome::unknown;
        choice.candidates = devices;
    } else {
        choice.outcome = DeviceChoice::Outcome::ambiguous;
        choice.candidates = matched;
    }
    return choice;
}

int current_index_of(const InputDevice& device) {
    for (const auto& d : listed_now()) {
        if (d.name == device.name && d.host_api == device.host_api) return d.index;
    }
    return -1;
}
