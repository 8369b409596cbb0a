#include "app/recording_cycle.h"

#include <ostream>
#include <sstream>

#include "app/console_messages.h"
#include "app/folder_check.h"
#include "app/key_wait.h"
#include "app/status_line.h"
#include "app/spare_folder.h"
#include "app/take_file.h"
#include "app/take_recovery.h"
#include "app/timestamp.h"
#include "audio/microphone_capture.h"
#include "audio/sample_buffer.h"
#include "audio/sample_ring.h"
#include "audio/take_journal.h"
#include "audio/take_level.h"

namespace {

constexpr int audio_failure_status = 1;
// Shorter takes are mostly a key pressed twice; calling them silent would only be noise.
constexpr std::size_t shortest_take_judged = 24000;  // half a second
// How far the main thread may fall behind the audio thread before sound is lost: a few seconds.
constexpr std::size_t ring_samples = 4 * 48000;
// What to look at when a take is silent. Windows gives a program silence, not an error, when its privacy
// settings keep it from the microphone.
#if defined(_WIN32)
constexpr const char* silent_take_advice =
    " (dictate --list-devices shows the others; Settings > Privacy > Microphone must let desktop apps use it)";
#else
constexpr const char* silent_take_advice = " (dictate --list-devices shows the others)";
#endif
// Audio written but not yet on stable storage beyond which the person hears that the disk is slow.
constexpr std::uint64_t unsynced_told = 5 * 48000;

void report(const CycleSeams& seams, const AudioFailure& failure) {
    seams.tell("audio: " + failure.call + " failed: " + failure.reason);
}

}  // namespace

int run_recording_cycles(const CycleSeams& seams) {
    check_folders(seams.tell);
    recover_unfinished_takes(seams);
    // Asked to stop while a recovered take was transcribed: no new take.
    if (seams.interrupt.requested()) return seams.interrupt.exit_status();

    // While a take records its journal is the take; only what the journal can't take is kept here.
    SampleBuffer rest;
    TakeLevel level;
    SampleRing ring(ring_samples);
    TakeJournal journal;
    SpareFolder spare;
    std::string timestamp;
    std::ostringstream formatter;
    KeyInput keys(seams.input_fd);
    StatusLine no_status;
    StatusLine& status = seams.status != nullptr ? *seams.status : no_status;
    bool slow_disk_told = false;
    const auto keep_what_arrived = [&] {
        ring.drain([&](const float* samples, std::size_t count) {
            level.add(samples, count);
            const std::size_t in_journal = journal.append(samples, count);
            if (in_journal < count) rest.append(samples + in_journal, count - in_journal);
            status.feed(samples, count);
        });
        if (const auto unsynced = journal.unsynced_samples(); unsynced > unsynced_told && !slow_disk_told) {
            slow_disk_told = true;
            seams.tell("the disk is slow to store " + journal.path() + ": the last " + seconds_of(unsynced) +
                       " of the take are not yet on stable storage (nothing is lost unless the power fails)");
        }
    };

    for (;;) {
        timestamp = format_timestamp(seams.now(), formatter);
        ring.reset();
        // Without a journal (the folder can't be written) the take records in memory only; its end keeps it
        // elsewhere and says why.
        (void)journal.open(wav_directory, timestamp);

        MicrophoneCapture capture;
        if (auto failure = capture.start(ring, seams.device)) {
            journal.discard();
            report(seams, *failure);
            return audio_failure_status;
        }
        keys.drop_typed_ahead();
        status.begin_take();
        seams.out << stop_prompt << std::flush;
        WaitEnd end = WaitEnd::key;
        for (bool told_ignored = false;; told_ignored = true) {
            end = keys.wait_for_take_end(seams.interrupt.fd, [&] {
                keep_what_arrived();
                status.redraw_if_due();
                return capture.running() && !capture.stalled();
            });
            if (end != WaitEnd::key) break;
            keep_what_arrived();
            if (level.samples() > 0) break;
            // A take with no sound at all would be an empty file and an upload for nothing. The status line
            // makes way for the message and comes back under it.
            status.end_take(true);
            if (!told_ignored) seams.tell("ignored Enter: no sound had been recorded yet; the take goes on");
            status.begin_take();
        }
        status.end_take(end == WaitEnd::key);
        // Read once the take is over: an interrupt from here on is about the upload, not the take.
        const bool interrupted_in_take = seams.interrupt.requested();
        // The take is complete from here and written before the stream is closed: a device that hangs
        // would hang the close, and the take must not wait on it.
        capture.seal();
        keep_what_arrived();

        if (level.samples() == 0 && end != WaitEnd::capture_stopped) {
            // Enter and then at once Ctrl-D or Ctrl-C: no sound, so no take.
            journal.discard();
            (void)capture.stop();
            return seams.interrupt.requested() ? seams.interrupt.exit_status() : 0;
        }

        const KeptTake kept = keep_take(journal, rest, timestamp, spare);
        if (kept.error != 0) seams.tell(describe_failure(kept));
        // No line when no file holds any of the take: there is no path to name, and the message said so.
        const std::string& where = kept.output_path;
        if (!where.empty()) seams.out << path_label << where << '\n' << std::flush;
        const std::string named = where.empty() ? kept.name.wav_path : where;
        if (const auto lost = ring.dropped(); lost > 0) {
            seams.tell("audio: the program fell behind and " + seconds_of(lost) +
                       " of sound is missing from " + named);
        }
        if (level.samples() >= shortest_take_judged && level.silent()) {
            seams.tell("the take " + named + " is silent: the input device may be the wrong one, or muted" +
                       silent_take_advice);
        }

        // Transcribed before the stream is closed: closing waits for a device that hangs, and the take must
        // not wait on it.
        if (end != WaitEnd::capture_stopped && !where.empty() && seams.transcribe)
            seams.transcribe(where, kept.name.stem, interrupted_in_take);
        if (end == WaitEnd::capture_stopped && capture.stalled()) {
            capture.abandon();  // the program ends now; closing would wait for the hung device forever
        } else if (const auto close_failure = capture.stop()) {
            report(seams, *close_failure);
            return audio_failure_status;
        }
        if (end == WaitEnd::capture_stopped) {
            seams.tell("audio: the input device stopped delivering sound; the take so far is in " + named);
            return audio_failure_status;
        }

        // An interrupt may also have come while the take was written or transcribed, not only in the wait;
        // and a terminal that closed ends input as well as sending SIGHUP.
        if (end == WaitEnd::interrupted || seams.interrupt.requested()) return seams.interrupt.exit_status();
        if (end == WaitEnd::end_of_input) return 0;

        rest.clear();
        level.reset();
        slow_disk_told = false;
        timestamp.clear();
        formatter.str("");
        formatter.clear();
    }
}
