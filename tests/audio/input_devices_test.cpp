#include "audio/input_devices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Outcome = DeviceChoice::Outcome;

const std::vector<InputDevice> devices = {
    {0, "HDA Intel PCH: ALC257 Analog (hw:0,0)", "ALSA", 44100, false},
    {3, "USB Headset: Audio (hw:1,0)", "ALSA", 48000, false},
    {7, "pulse", "ALSA", 44100, false},
    {8, "default", "ALSA", 44100, true},
    {12, "Microphone (USB Headset)", "Windows WASAPI", 48000, false},
};

std::vector<int> indices(const std::vector<InputDevice>& list) {
    std::vector<int> found;
    for (const auto& d : list) found.push_back(d.index);
    return found;
}

TEST(InputDevices, ANumberOrAUniquePartOfANameChoosesOneDevice) {
    const std::pair<const char*, int> rows[] = {
        {"3", 3}, {"007", 7}, {"alc257", 0}, {"DEFAULT", 8}, {"Microphone", 12}, {"PULSE", 7},
    };
    for (const auto& [wanted, index] : rows) {
        const DeviceChoice choice = choose_input_device(devices, wanted);
        ASSERT_EQ(choice.outcome, Outcome::found) << wanted;
        EXPECT_EQ(choice.device->index, index) << wanted;
        EXPECT_TRUE(choice.candidates.empty()) << wanted;
    }
}

TEST(InputDevices, AnUnknownNameListsEveryDeviceAndAnAmbiguousOneTheMatches) {
    for (const char* wanted : {"webcam", "5", "99999999999999999999"}) {
        const DeviceChoice choice = choose_input_device(devices, wanted);
        EXPECT_EQ(choice.outcome, Outcome::unknown) << wanted;
        EXPECT_FALSE(choice.device) << wanted;
        EXPECT_EQ(indices(choice.candidates), (std::vector<int>{0, 3, 7, 8, 12})) << wanted;
    }
    const DeviceChoice headset = choose_input_device(devices, "headset");
    EXPECT_EQ(headset.outcome, Outcome::ambiguous);
    EXPECT_EQ(indices(headset.candidates), (std::vector<int>{3, 12}));
    EXPECT_EQ(choose_input_device({}, "anything").outcome, Outcome::unknown);
}

}  // namespace
