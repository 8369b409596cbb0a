#pragma once

#include <chrono>
#include <optional>

#include "audio/audio_failure.h"
#include "audio/sample_ring.h"

// Where a take's sound comes from: the edge between the program and the machine's audio. The microphone
// (microphone_capture.h) is the one the programs use; a test may pass a source that plays a script.
//
// A source records one take at a time: start(), then, a few times a second while the take records,
// running(), stalled() and paused(), then seal() and at last stop() or, for a device that hangs, abandon().
// It may start again after stop(). Whatever thread delivers the sound pushes it into the ring only, and
// nothing more once seal() or stop() has returned, so one last drain then holds the rest of the take. The
// ring must outlive the take. All members are for the main thread.
class SoundSource {
public:
    virtual ~SoundSource() = default;

    // Starts recording into `ring`. On failure nothing is left open, and the failure names the call.
    virtual std::optional<AudioFailure> start(SampleRing& ring) = 0;

    // False once the source stopped by itself (the device went away) or was never started.
    virtual bool running() const = 0;

    // True when the source claims to run but has delivered nothing for too long: a device that hangs
    // rather than going away. Once true it stays true, also after seal().
    virtual bool stalled() = 0;

    // How long the process did not get to run (stopped and continued, the machine asleep) since the last
    // call, as stalled() met it; zero when it always did.
    virtual std::chrono::milliseconds paused() = 0;

    // Ends the take without waiting for the device: once it returns nothing more reaches the ring.
    virtual void seal() = 0;

    // Closes the source; may wait for the device, and on one that hangs, forever.
    virtual std::optional<AudioFailure> stop() = 0;

    // For a device that hangs, when the process is about to end: leaves it open rather than wait for it.
    // Seals first. Nothing is usable after.
    virtual void abandon() = 0;
};
