// A probe of the Windows build's audio chain, run under Wine by tests/e2e/wine_smoke.py: records the
// default input device of one of the audio library's Windows host APIs at 48 kHz mono until a line or the
// end of standard input, and writes what it heard as raw 16-bit little-endian samples to a file.
//
//   capture_probe OUTPUT_PATH [mme|directsound|wasapi]      (default: the library's default device)
//
// Standard output: "recording: <device> (<host API>)" once the stream runs, then "frames: <count>".
// Exit status 0, or 1 with the failing call and its reason on standard error.
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
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
    PaStream* stream = nullptr;
    if (PaError e = Pa_OpenStream(&stream, &input, nullptr, 48000, 480, paNoFlag, nullptr, nullptr); e != paNoError)
        return fail("Pa_OpenStream", e);
    if (PaError e = Pa_StartStream(stream); e != paNoError) return fail("Pa_StartStream", e);
    std::cout << "recording: " << info->name << " (" << Pa_GetHostApiInfo(info->hostApi)->name << ")"
              << std::endl;

    // Any line, or the end of input, stops the recording, as in dictate itself.
    std::atomic<bool> stop{false};
    std::thread keys([&stop] {
        std::string line;
        std::getline(std::cin, line);
        stop = true;
    });
    std::vector<float> block(480);
    std::vector<std::int16_t> pcm(block.size());
    long long frames = 0;
    PaError failure = paNoError;
    while (!stop) {
        PaError e = Pa_ReadStream(stream, block.data(), block.size());
        if (e != paNoError && e != paInputOverflowed) {
            failure = e;
            break;
        }
        std::transform(block.begin(), block.end(), pcm.begin(), [](float s) {
            return static_cast<std::int16_t>(std::lrint(std::clamp(s * 32767.0f, -32768.0f, 32767.0f)));
        });
        out.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * 2));
        frames += static_cast<long long>(block.size());
    }
    Pa_CloseStream(stream);
    if (failure != paNoError) {
        keys.detach();  // still waiting for a line; ending the process ends it
        return fail("Pa_ReadStream", failure);
    }
    keys.join();
    Pa_Terminate();
    std::cout << "frames: " << frames << std::endl;
    return out.flush() ? 0 : 1;
}
