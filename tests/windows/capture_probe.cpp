// A probe of the Windows build's audio chain, run under Wine by tests/e2e/wine_smoke.py: records the
// default input device of one of the audio library's Windows host APIs at 48 kHz mono, through a stream
// callback as dictate records, until a line or the end of standard input (at most two minutes), and writes
// what it heard as raw 16-bit little-endian samples to a file.
//
//   capture_probe OUTPUT_PATH [mme|directsound|wasapi]      (default: the library's default device)
//
// Standard output: "recording: <device> (<host API>)" once the stream runs, then "frames: <count>".
// Exit status 0, or 1 with the failing call and its reason on standard error.
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

int fail(const char* call, PaError e) {
    std::cerr << "capture_probe: " << call << ": " << Pa_GetErrorText(e) << '\n';
    Pa_Terminate();
    return 1;
}

PaDeviceIndex input_device(const std::string& host_api) {
    if (host_api.empty()) return Pa_GetDefaultInputDevice();
    PaHostApiTypeId type = host_api == "mme" ? paMME : host_api == "directsound" ? paDirectSound : paWASAPI;
    PaHostApiIndex index = Pa_HostApiTypeIdToHostApiIndex(type);
    return index < 0 ? paNoDevice : Pa_GetHostApiInfo(index)->defaultInputDevice;
}

// Filled on the audio library's thread; read by the main thread only after the stream is stopped.
struct Recording {
    std::vector<float> samples = std::vector<float>(48000 * 120);
    std::atomic<std::size_t> count{0};
};

int on_audio(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
             PaStreamCallbackFlags, void* user) {
    auto* recording = static_cast<Recording*>(user);
    std::size_t at = recording->count.load(std::memory_order_relaxed);
    std::size_t n = std::min<std::size_t>(frames, recording->samples.size() - at);
    if (input != nullptr) std::copy_n(static_cast<const float*>(input), n, recording->samples.begin() + at);
    recording->count.store(at + n, std::memory_order_release);
    return n == frames ? paContinue : paComplete;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: capture_probe OUTPUT_PATH [mme|directsound|wasapi]\n";
        return 2;
    }
    std::ofstream out(argv[1], std::ios::binary);
    if (!out) {
        std::cerr << "capture_probe: cannot open " << argv[1] << '\n';
        return 1;
    }
    if (PaError e = Pa_Initialize(); e != paNoError) return fail("Pa_Initialize", e);
    PaDeviceIndex device = input_device(argc > 2 ? argv[2] : "");
    if (device == paNoDevice) return fail("no input device", paDeviceUnavailable);
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    PaStreamParameters input{device, 1, paFloat32, info->defaultLowInputLatency, nullptr};
    Recording recording;
    PaStream* stream = nullptr;
    if (PaError e = Pa_OpenStream(&stream, &input, nullptr, 48000, paFramesPerBufferUnspecified, paNoFlag,
                                  on_audio, &recording);
        e != paNoError)
        return fail("Pa_OpenStream", e);
    if (PaError e = Pa_StartStream(stream); e != paNoError) return fail("Pa_StartStream", e);
    std::cout << "recording: " << info->name << " (" << Pa_GetHostApiInfo(info->hostApi)->name << ")"
              << std::endl;

    // Any line, or the end of input, stops the recording, as in dictate itself.
    std::string line;
    std::getline(std::cin, line);
    if (PaError e = Pa_StopStream(stream); e != paNoError) return fail("Pa_StopStream", e);
    Pa_CloseStream(stream);
    Pa_Terminate();

    std::size_t count = recording.count.load(std::memory_order_acquire);
    std::vector<std::int16_t> pcm(count);
    std::transform(
        recording.samples.begin(), recording.samples.begin() + static_cast<std::ptrdiff_t>(count),
        pcm.begin(), [](float s) {
            return static_cast<std::int16_t>(std::lrint(std::clamp(s * 32767.0f, -32768.0f, 32767.0f)));
        });
    out.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(count * 2));
    std::cout << "frames: " << count << std::endl;
    return out.flush() ? 0 : 1;
}
