#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "audio/sound_source.h"
#include "platform/boot_clock.h"

struct InputDevice;

// One take from an input device: mono, 32-bit float, 48000 frames per second.
//
// start() initialises the audio library and opens and starts the stream; from then on the library's own
// thread pushes every captured block into the ring, doing nothing else that could make it wait, while the
// main thread drains the ring. After seal() or stop() has returned nothing more is pushed, so one last drain
// holds the rest of the take; the ring must outlive the take. The library is initialised by start() and shut
// down by stop(), once per take; only one capture may exist at a time in a process, and it records take after
// take. All members are for the main thread.
class MicrophoneCapture final : public SoundSource {
public:
    // Records from `device` (input_devices.h), looked up again by its name and host API at every start since
    // it was listed, or from the default input device when it is null. The device must outlive the capture.
    explicit MicrophoneCapture(const InputDevice* device = nullptr) : device_(device) {}
    MicrophoneCapture(const MicrophoneCapture&) = delete;
    MicrophoneCapture& operator=(const MicrophoneCapture&) = delete;
    // Closes a stream that is still open and shuts the library down, ignoring failures.
    ~MicrophoneCapture() override;

    // On failure nothing is left open or initialised.
    std::optional<AudioFailure> start(SampleRing& ring) override;

    // False once the stream has stopped by itself (the device went away) or was never started.
    bool running() const override;

    // True when the stream claims to run but no sound has arrived for `stall_limit` of the time the process
    // ran: a device or sound server that hangs instead of going away, which the library does not report.
    // Asked a few times a second while the take records; each call looks at how much sound has arrived
    // since the last, and counts no more than `longest_turn_counted` of the time since then towards the
    // stall: time the process did not run (stopped and continued, the machine asleep, a virtual machine
    // paused, a machine too busy) gave the device no chance to deliver. Once true it stays true, also after
    // seal(), until the next start().
    //
    // Two calls `pause_noticed` or more apart are added to what paused() returns.
    static constexpr std::chrono::seconds stall_limit{3};
    static constexpr std::chrono::milliseconds longest_turn_counted{500};
    static constexpr std::chrono::seconds pause_noticed{2};
    bool stalled() override;

    // How long the process did not get to run, summed over the gaps of `pause_noticed` or more that
    // stalled() met since the last call; zero when none.
    std::chrono::milliseconds paused() override;

    // Ends the take without waiting for the device: once it returns the audio thread no longer touches
    // the ring (a push already under way is waited for), so the caller may drain it for the last time and
    // write the take out even while closing the stream would hang. The stream stays open until stop().
    void seal() override;

    // Closes the stream and shuts the library down; both happen even when closing fails. Waits for the
    // device: on one that hangs, this hangs too.
    std::optional<AudioFailure> stop() override;

    // For a device that hangs, when the process is about to end: leaves the stream open and the library
    // initialised (closing them would wait for the device forever). Seals first. Nothing is usable after.
    void abandon() override;

private:
    const InputDevice* device_;
    void* stream_ = nullptr;  // PaStream*, kept opaque so callers need not see the library's header
    const SampleRing* ring_ = nullptr;
    bool initialised_ = false;
    std::uint64_t last_arrived_ = 0;
    BootClock::duration silent_for_{};  // without sound, in the time counted towards a stall
    BootClock::time_point last_turn_{};
    BootClock::duration paused_{};
    bool stalled_ = false;
};
