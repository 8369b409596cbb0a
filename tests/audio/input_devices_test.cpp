#include "audio/input_devices.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(InputDevices, ANumberOrAUniquePartOfANameChoosesOneDeviceAndAnythingElseListsTheCandidates) {
    const std::vector<InputDevice> devices = {
        {0, "HDA Intel PCH: ALC257 Analog (hw:0,0)", "ALSA", 44100, false},
        {3, "USB Headset: Audio (hw:1,0)", "ALSA", 48000, false},
        {7, "pulse", "ALSA", 44100, false},
        {8, "default", "ALSA", 44100, true},
        {9, "USB Headset", "ALSA", 48000, false},
        {12, "Microphone (USB Headset)", "Windows WASAPI", 48000, false},
    };
    const struct {
        const char* wanted;
        DeviceChoice::Outcome outcome;
        std::vector<int> indices;  // of the device found, or of the candidates
    } rows[] = {
        {"3", DeviceChoice::Outcome::found, {3}},
        {"007", DeviceChoice::Outcome::found, {7}},
        {"alc257", DeviceChoice::Outcome::found, {0}},
        {"usb headset", DeviceChoice::Outcome::found, {9}},  // in three names, but the whole of one
        {"headset", DeviceChoice::Outcome::ambiguous, {3, 9, 12}},
        {"webcam", DeviceChoice::Outcome::unknown, {0, 3, 7, 8, 9, 12}},
        {"5", DeviceChoice::Outcome::unknown, {0, 3, 7, 8, 9, 12}},
        {"99999999999999999999", DeviceChoice::Outcome::unknown, {0, 3, 7, 8, 9, 12}},
    };
    for (const auto& row : rows) {
        const DeviceChoice choice = choose_input_device(devices, row.wanted);
        EXPECT_EQ(choice.outcome, row.outcome) << row.wanted;
        std::vector<int> indices;
        if (choice.device) indices.push_back(choice.device->index);
        for (const auto& d : choice.candidates) indices.push_back(d.index);
        EXPECT_EQ(indices, row.indices) << row.wanted;
    }
}

}  // namespace
