#include "audio/microphone_capture.h"

#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "audio/input_devices.h"
#include "audio/wav_writer.h"
#include "platform/quiet_stderr.h"

namespace {

constexpr double sample_rate = WavHeader::sample_rate;

// How the main thread takes the ring back without closing the stream (closing waits for a device that
// hangs). Static, so that the thread of a stream left open can never reach freed memory.
//
// A two-flag handshake, sequentially consistent on both sides: the callback announces itself in `busy`
// before it looks at `open`; seal() clears `open` before it looks at `busy`. So either the callback sees the
// gate closed, or seal() sees the callback and waits for it to leave.
struct Gate {
    std::atomic<bool> open{false};
    std::atomic<int> busy{0};
};
Gate gate;

// Runs on the audio library's thread for every captured block.
int record_callback(const void* input, void* /*output*/, unsigned long frame_count,
                    const PaStreamCallbackTimeInfo* /*time_info*/, PaStreamCallbackFlags /*status*/,
                    void* user_data) {
    gate.busy.fetch_add(1);
    // The library may hand over no input block (e.g. on an underrun); there is nothing to keep then.
    if (gate.open.load() && input != nullptr) {
        static_cast<SampleRing*>(user_data)->push(static_cast<const float*>(input), frame_count);
    }
    gate.busy.fetch_sub(1);
    return paContinue;
}

AudioFailure failure(const char* call, PaError error) {
    std::string reason = Pa_GetErrorText(error);
    if (error == paUnanticipatedHostError) {
        if (const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
            host && host->errorText && *host->errorText) {
            reason += " (";
            reason += host->errorText;
            reason += ")";
        }
    }
    // The library's words for this ("Device unavailable") don't say what a person can do about it.
    if ((error == paDeviceUnavailable || error == paInvalidDevice) &&
        Pa_GetDefaultInputDevice() == paNoDevice) {
        reason += " (no default input device found: is a microphone connected and the sound server running?)";
    }
    if (error == paInvalidSampleRate) {
        reason +=
            " (the input device can't record at 48000 Hz, which a take needs: dictate --list-devices shows"
            " the others)";
    }
    return AudioFailure{call, reason};
}

// Opens a stream on the device a person chose, with what the default stream would have: mono float at 48 kHz,
// the device's high input latency (the safe one).
std::optional<AudioFailure> open_chosen(const InputDevice& device, PaStream** stream, SampleRing& ring) {
    const int index = current_index_of(device);
    if (index < 0) {
        return AudioFailure{"Pa_OpenStream",
                            "the input device \"" + device.name + "\" (" + device.host_api +
                                ") is no longer there; dictate --list-devices shows those that are"};
    }
    const PaStreamParameters input{index, 1, paFloat32, Pa_GetDeviceInfo(index)->defaultHighInputLatency,
                                   nullptr};
    const PaError e = Pa_OpenStream(stream, &input, nullptr, sample_rate, paFramesPerBufferUnspecified,
                                    paNoFlag, record_callback, &ring);
    if (e == paNoError) return std::nullopt;
    return failure("Pa_OpenStream", e);
}

}  // namespace

MicrophoneCapture::~MicrophoneCapture() { (void)stop(); }

std::optional<AudioFailure> MicrophoneCapture::start(SampleRing& ring) {
    QuietStderr quiet;
    ring_ = &ring;
    gate.open.store(true);
    last_arrived_ = ring.arrived();
    silent_for_ = paused_ = {};
    stalled_ = false;
    if (PaError e = Pa_Initialize(); e != paNoError) return failure("Pa_Initialize", e);
    initialised_ = true;

    PaStream* stream = nullptr;
    if (device_ != nullptr) {
        if (auto why = open_chosen(*device_, &stream, ring)) {
            (void)stop();
            return why;
        }
    } else if (PaError e = Pa_OpenDefaultStream(&stream, 1, 0, paFloat32, sample_rate,
                                                paFramesPerBufferUnspecified, record_callback, &ring);
               e != paNoError) {
        auto why = failure("Pa_OpenDefaultStream", e);
        (void)stop();
        return why;
    }
    stream_ = stream;

    if (PaError e = Pa_StartStream(stream); e != paNoError) {
        auto why = failure("Pa_StartStream", e);
        (void)stop();
        return why;
    }
    // Timed from here: starting the library, however long it took, is neither a pause nor a stall.
    last_turn_ = BootClock::now();
    return std::nullopt;
}

bool MicrophoneCapture::running() const {
    return stream_ != nullptr && Pa_IsStreamActive(static_cast<PaStream*>(stream_)) == 1;
}

bool MicrophoneCapture::stalled() {
    if (stalled_ || stream_ == nullptr || !gate.open.load()) return stalled_;
    const auto now = BootClock::now();
    const auto since_turn = now - last_turn_;
    last_turn_ = now;
    if (since_turn >= pause_noticed) paused_ += since_turn;
    if (const std::uint64_t arrived = ring_->arrived(); arrived != last_arrived_) {
        last_arrived_ = arrived;
        silent_for_ = {};
        return false;
    }
    silent_for_ += std::min<BootClock::duration>(since_turn, longest_turn_counted);
    stalled_ = silent_for_ >= stall_limit;
    return stalled_;
}

std::chrono::milliseconds MicrophoneCapture::paused() {
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(paused_);
    paused_ = {};
    return gap;
}

void MicrophoneCapture::seal() {
    gate.open.store(false);
    while (gate.busy.load() != 0) std::this_thread::yield();
}

void MicrophoneCapture::abandon() {
    seal();
    stream_ = nullptr;
    initialised_ = false;
}

std::optional<AudioFailure> MicrophoneCapture::stop() {
    seal();
    QuietStderr quiet;
    std::optional<AudioFailure> why;
    if (stream_ != nullptr) {
        if (PaError e = Pa_CloseStream(static_cast<PaStream*>(stream_)); e != paNoError) {
            why = failure("Pa_CloseStream", e);
        }
        stream_ = nullptr;
    }
    if (initialised_) {
        Pa_Terminate();
        initialised_ = false;
    }
    return why;
}
