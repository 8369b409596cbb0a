#pragma once

#include <ctime>
#include <functional>
#include <iosfwd>
#include <string>

// What the cycles talk to at the edges of the operating system; main() passes the real console and clock,
// tests pass a pipe, a string stream and a fixed time.
struct CycleSeams {
    int input_fd;                                  // keys from the person (standard input)
    std::ostream& out;                             // the dialogue (standard output)
    std::function<std::time_t()> now;              // the clock
    // The transcription stage, given the WAV path and the timestamp of a take whose file was written.
    std::function<void(const std::string&, const std::string&)> transcribe;
};

inline constexpr const char* wav_directory = "C:/Whisper/";
inline constexpr const char* wav_suffix = "_output.wav";
inline constexpr const char* stop_prompt = "Press the Enter Key to Stop Recording...";
inline constexpr const char* path_label = "output_path: ";

// Runs recording cycles until the program should end, and returns its exit status: 0 after the take that
// standard input's end closed, 128 + signal after the take that Ctrl-C or SIGTERM closed, 1 when the audio
// library fails. Every take that captured audio is written before the function returns.
int run_recording_cycles(const CycleSeams& seams);
