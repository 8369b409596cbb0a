#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "app/console_messages.h"
#include "app/take_paths.h"
#include "platform/waitable.h"
#include "transcription/streaming_upload.h"

class SoundSource;
class StatusLine;

// The dialogue on standard output, written by the cycles and by the recovery of earlier runs' takes.
inline constexpr const char* stop_prompt = "Press the Enter Key to Stop Recording...";
inline constexpr const char* path_label = "output_path: ";

// Where the cycles hear that the program should stop (Ctrl-C, SIGTERM, SIGHUP). main() passes the signal
// handlers' (interrupt_signal.h); the defaults are a source that never asks.
struct InterruptSource {
    Waitable fd = no_waitable;  // ready once a stop was asked for; no_waitable: none
    std::function<bool()> requested = [] { return false; };  // whether a stop was asked for
    std::function<int()> exit_status = [] { return 0; };     // the status that reports it
};

// What the cycles talk to at the edges of the operating system; main() passes the real console, clock,
// microphone, signal handlers and folders, tests pass a pipe, a string stream, a fixed time, a scripted
// source of sound and a list of messages.
struct CycleSeams {
    int input_fd;                      // keys from the person (standard input)
    std::ostream& out;                 // the dialogue (standard output)
    std::function<std::time_t()> now;  // the clock
    // The transcription stage, given the path of a take's WAV file, the stem its transcript is named after
    // (the take's timestamp, with "_2", "_3", ... when the name was taken), and whether an interrupt had
    // come before the take was over: that one asks for the take to be finished, transcription included,
    // while one that comes later asks to stop waiting for the server. The last argument is the take's
    // request streamed while it recorded (null when there is none), handed over for the stage to finish
    // or abandon before anything else of the take is uploaded.
    std::function<void(const std::string&, const std::string&, bool,
                       std::unique_ptr<transcription::StreamingUpload>)>
        transcribe;
    // The cycles' "dictate: " messages (see console_messages.h): standard error unless a test listens.
    std::function<void(std::string_view)> tell = tell_user;
    InterruptSource interrupt{};
    SoundSource& sound;            // where every take's sound comes from, one take at a time
    StatusLine* status = nullptr;  // the recording time and level under the prompt; null: none
    TakePaths paths{};             // where takes and their text go, and their names
    // Starts sending a take to the server while it records, its part named `file_name` (the take's WAV
    // name as the take begins); may throw. Empty: every take is uploaded once it is finished.
    std::function<std::unique_ptr<transcription::StreamingUpload>(const std::string& file_name)> start_stream;
    // --auto-stop: samples of quiet after speech that end a take as Enter would; 0: only Enter does.
    std::uint64_t pause_ends_after = 0;
};
