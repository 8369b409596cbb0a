#pragma once

#include <optional>
#include <string>

#include "audio/sample_buffer.h"

// An audio-library call that failed, worded for a person: which call, and why.
struct AudioFailure {
    std::string call;    // e.g. "Pa_OpenDefaultStream"
    std::string reason;  // the library's error text, with the host API's own text when it has one
};

// One take from the default input device: mono, 32-bit float, 48000 frames per second.
//
// start() initialises the audio library and opens and starts the stream; from then on the library's own
// thread appends every captured block to the buffer. stop() closes the stream, which is the hand-over: only
// after it has returned may the caller touch the buffer again. The library is initialised and shut down
// once per take. All members are for the main thread.
class MicrophoneCapture {
public:
    MicrophoneCapture() = default;
    MicrophoneCapture(const MicrophoneCapture&) = delete;
    MicrophoneCapture& operator=(const MicrophoneCapture&) = delete;
    // Closes a stream that is still open and shuts the library down, ignoring failures.
    ~MicrophoneCapture();

    // On failure nothing is left open or initialised.
    std::optional<AudioFailure> start(SampleBuffer& recorded_samples);

    // False once the stream has stopped by itself (the device went away) or was never started.
    bool running() const;

    // Closes the stream and shuts the library down; both happen even when closing fails.
    std::optional<AudioFailure> stop();

private:
    void* stream_ = nullptr;  // PaStream*, kept opaque so callers need not see the library's header
    bool initialised_ = false;
};
