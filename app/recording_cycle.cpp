#include "app/recording_cycle.h"

#include <ostream>
#include <sstream>

#include "app/console_messages.h"
#include "app/interrupt_signal.h"
#include "app/key_wait.h"
#include "app/timestamp.h"
#include "audio/microphone_capture.h"
#include "audio/sample_buffer.h"
#include "audio/take_level.h"
#include "audio/wav_writer.h"

namespace {

constexpr int audio_failure_status = 1;
// Shorter takes are mostly a key pressed twice; calling them silent would only be noise.
constexpr std::size_t shortest_take_judged = 24000;  // half a second

void report(const AudioFailure& failure) {
    tell_user("audio: " + failure.call + " failed: " + failure.reason);
}

}  // namespace

int run_recording_cycles(const CycleSeams& seams) {
    SampleBuffer recorded_samples;
    std::string output_path = wav_directory;
    std::string timestamp;
    std::ostringstream formatter;

    for (;;) {
        timestamp = format_timestamp(seams.now(), formatter);

        MicrophoneCapture capture;
        if (auto failure = capture.start(recorded_samples)) {
            report(*failure);
            return audio_failure_status;
        }
        seams.out << stop_prompt << std::flush;
        const WaitEnd end = wait_for_key(seams.input_fd, interrupt_fd(),
                                         [&] { return capture.running() && !capture.stalled(); });
        // The take is complete from here and written before the stream is closed: a device that hangs
        // would hang the close, and the take must not wait on it.
        capture.seal();

        output_path += timestamp;
        output_path += wav_suffix;
        const auto write_failure = write_wav(output_path, recorded_samples);
        if (write_failure) tell_user("could not write the recording to " + output_path + ": " + *write_failure);
        seams.out << path_label << output_path << '\n' << std::flush;
        if (recorded_samples.size() >= shortest_take_judged && is_silent(recorded_samples)) {
            tell_user("the take " + output_path +
                      " is silent: the default input device may be the wrong one, or muted");
        }

        if (end == WaitEnd::capture_stopped && capture.stalled()) {
            capture.abandon();  // the program ends now; closing would wait for the hung device forever
        } else if (const auto close_failure = capture.stop()) {
            report(*close_failure);
            return audio_failure_status;
        }
        if (end == WaitEnd::capture_stopped) {
            tell_user("audio: the input device stopped delivering sound; the take so far is in " + output_path);
            return audio_failure_status;
        }
        // A take whose file could not be written has nothing to upload.
        if (!write_failure && seams.transcribe) seams.transcribe(output_path, timestamp);

        if (end == WaitEnd::end_of_input) return 0;
        // An interrupt may also have come while the take was written or transcribed, not only in the wait.
        if (end == WaitEnd::interrupted || interrupt_requested()) return interrupt_exit_status();

        recorded_samples.clear();
        output_path = wav_directory;
        timestamp.clear();
        formatter.str("");
        formatter.clear();
    }
}
