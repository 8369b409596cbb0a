#include "app/recording_cycle.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>

#include "app/console_messages.h"
#include "app/folder_check.h"
#include "app/key_wait.h"
#include "app/status_line.h"
#include "app/spare_folder.h"
#include "app/take_file.h"
#include "app/take_recording.h"
#include "app/take_recovery.h"
#include "app/timestamp.h"
#include "audio/sample_buffer.h"
#include "audio/sample_ring.h"
#include "audio/sound_source.h"
#include "audio/take_journal.h"
#include "audio/take_level.h"
#include "audio/wav_writer.h"
#include "transcription/streaming_upload.h"

namespace {

constexpr int audio_failure_status = 1;
// Shorter takes are mostly a key pressed twice; calling them silent would only be noise.
constexpr std::size_t shortest_take_judged = 24000;  // half a second
// How far the main thread may fall behind the audio thread before sound is lost: a few seconds.
constexpr std::size_t ring_samples = 4 * WavHeader::sample_rate;
// What to look at when a take is silent. Windows gives a program silence, not an error, when its privacy
// settings keep it from the microphone.
#if defined(_WIN32)
constexpr const char* silent_take_advice =
    " (dictate --list-devices shows the others; Settings > Privacy > Microphone must let desktop apps use it)";
#else
constexpr const char* silent_take_advice = " (dictate --list-devices shows the others)";
#endif
// How often a streamed take hands its sound on: the server can only search what it has, so the less
// is held here when Enter comes, the sooner the text.
constexpr std::chrono::milliseconds streamed_turn{20};
// Audio written but not yet on stable storage beyond which the person hears that the disk is slow.
constexpr std::uint64_t unsynced_told = 5 * WavHeader::sample_rate;

// What a run keeps from one take to the next, so that no take has to build it afresh.
struct Run {
    explicit Run(const CycleSeams& cycle_seams)
        : seams(cycle_seams),
          ring(ring_samples),
          spare(cycle_seams.paths),
          keys(cycle_seams.input_fd),
          status(cycle_seams.status != nullptr ? *cycle_seams.status : no_status) {}

    const CycleSeams& seams;
    // While a take records its journal is the take; only what the journal can't take is kept here.
    SampleBuffer rest;
    TakeLevel level;
    SampleRing ring;
    TakeJournal journal;
    SpareFolder spare;
    std::string timestamp;
    std::ostringstream formatter;
    KeyInput keys;
    StatusLine no_status;
    StatusLine& status;
    bool slow_disk_told = false;
    // The take as it is sent to a server that decodes while the person speaks; null when not streamed.
    std::unique_ptr<transcription::StreamingUpload> stream;
    std::vector<std::uint16_t> stream_pcm;  // conversion space for it
    std::uint64_t words_seen = 0;           // of the stream's live words

    // What the audio thread handed over goes to the journal, or to memory where the journal can't take it,
    // and to the level, the status line and the stream.
    void keep(const float* samples, std::size_t count) {
        level.add(samples, count);
        const std::size_t in_journal = journal.append(samples, count);
        if (in_journal < count) rest.append(samples + in_journal, count - in_journal);
        status.feed(samples, count);
        if (stream) {
            // The same conversion as the file's, so the server hears exactly what the file keeps.
            stream_pcm.resize(count);
            to_pcm16le(samples, count, stream_pcm.data());
            stream->append(reinterpret_cast<const char*>(stream_pcm.data()), count * sizeof(std::uint16_t));
        }
        if (const auto unsynced = journal.unsynced_samples(); unsynced > unsynced_told && !slow_disk_told) {
            slow_disk_told = true;
            seams.tell("the disk is slow to store " + journal.path() + ": the last " + seconds_of(unsynced) +
                       " of the take are not yet on stable storage (nothing is lost unless the power fails)");
        }
    }

    // Where the run streams takes: sends this one's WAV header, with the sizes a file still being written
    // gives, and from then on its samples as they are kept.
    void start_stream() {
        if (!seams.start_stream) return;
        try {
            stream = seams.start_stream(seams.paths.wav_name(timestamp));
        } catch (const std::exception&) {
            stream.reset();  // no thread or no memory for it: the take is uploaded once finished
        }
        if (!stream) return;
        words_seen = 0;
        const std::string head = encode_wav_header(WavHeader{0xFFFFFFFF, 0xFFFFFFFF});
        stream->append(head.data(), head.size());
    }

    void next_take() {
        stream.reset();
        rest.clear();
        level.reset();
        slow_disk_told = false;
        timestamp.clear();
        formatter.str("");
        formatter.clear();
    }
};

// How the recording of a take ended.
struct RecordedTake {
    WaitEnd end = WaitEnd::key;
    bool interrupted_in_take = false;  // an interrupt had come before the take was over
    std::optional<int> exit_status;    // set: the run ends with this status and there is no take to finish
};

// Records a take from the prompt until Enter (once there is sound), input's end, an interrupt or the
// device's loss; the source is sealed and all of the take kept when it returns.
RecordedTake record_take(Run& run) {
    const CycleSeams& seams = run.seams;
    RecordedTake take;
    run.timestamp = format_timestamp(seams.now(), run.formatter);
    // Without a journal (the folder can't be written) the take records in memory only; its end keeps it
    // elsewhere and says why.
    (void)run.journal.open(seams.paths.wav_folder, run.timestamp);
    const RecordingEnd recorded = record_until_enter({
        seams.sound,
        run.ring,
        run.keys,
        seams.interrupt,
        seams.tell,
        run.status,
        [&](const float* samples, std::size_t count) { run.keep(samples, count); },
        [&] {
            run.start_stream();
            seams.out << stop_prompt << std::flush;
        },
        [&] { return run.stream && run.stream->sending() ? streamed_turn : KeyInput::usual_turn; },
        "dictate",
        "the take",
        "ignored Enter: no sound had been recorded yet; the take goes on",
        seams.pause_ends_after,
        seams.start_stream ? std::function<std::optional<std::string>()>([&run] {
            return run.stream ? run.stream->live_words(run.words_seen) : std::nullopt;
        })
                           : nullptr,
    });
    if (!recorded.started) {
        run.journal.discard();
        take.exit_status = audio_failure_status;
        return take;
    }
    take.end = recorded.end;
    take.interrupted_in_take = recorded.interrupted_in_take;
    // No Enter was typed to end the prompt's row: the line end stands in for it, so the dialogue reads
    // the same.
    if (take.end == WaitEnd::speech_paused) seams.out << '\n' << std::flush;
    if (recorded.samples == 0 && take.end != WaitEnd::capture_stopped) {
        // Enter and then at once Ctrl-D or Ctrl-C: no sound, so no take.
        run.journal.discard();
        run.stream.reset();
        (void)close_source(seams.sound, seams.tell);
        take.exit_status = seams.interrupt.requested() ? seams.interrupt.exit_status() : 0;
    }
    return take;
}

// Keeps the take on disk, names its file, says what went wrong with it, transcribes it and closes the
// stream. Returns the run's exit status when the run ends with this take.
std::optional<int> finish_take(Run& run, const RecordedTake& take) {
    const CycleSeams& seams = run.seams;
    const KeptTake kept = keep_take(seams.paths, run.journal, run.rest, run.timestamp, run.spare);
    if (kept.error != 0) seams.tell(describe_failure(kept));
    // No line when no file holds any of the take: there is no path to name, and the message said so.
    const std::string& where = kept.output_path;
    if (!where.empty()) seams.out << path_label << where << '\n' << std::flush;
    const std::string named = where.empty() ? kept.name.wav_path : where;
    if (const auto lost = run.ring.dropped(); lost > 0) {
        seams.tell("audio: the program fell behind and " + seconds_of(lost) + " of sound is missing from " +
                   named);
    }
    if (run.level.samples() >= shortest_take_judged && run.level.silent()) {
        seams.tell("the take " + named + " is silent: the input device may be the wrong one, or muted" +
                   silent_take_advice);
    }

    // A device that went away or hangs ends the run, but not before the take so far has its text: the
    // person hears why first, since the text may take a while.
    const bool device_lost = take.end == WaitEnd::capture_stopped;
    if (device_lost)
        seams.tell("audio: the input device stopped delivering sound; the take so far is in " + named);
    // Transcribed before the stream is closed: closing waits for a device that hangs, and the take must
    // not wait on it. The stage owns the streamed request from here, and ends it before the file, if need
    // be, goes. A device lost before any sound left an empty file, with nothing to transcribe.
    if (!where.empty() && seams.transcribe && (!device_lost || run.level.samples() > 0))
        seams.transcribe(where, kept.name.stem, take.interrupted_in_take, std::move(run.stream));
    run.stream.reset();  // a take not transcribed: its request is abandoned
    // A device that hangs is abandoned, since the program ends now.
    if (!close_source(seams.sound, seams.tell) || device_lost) return audio_failure_status;

    // An interrupt may also have come while the take was written or transcribed, not only in the wait;
    // and a terminal that closed ends input as well as sending SIGHUP.
    if (take.end == WaitEnd::interrupted || seams.interrupt.requested()) return seams.interrupt.exit_status();
    if (take.end == WaitEnd::end_of_input) return 0;
    return std::nullopt;
}

}  // namespace

int run_recording_cycles(const CycleSeams& seams) {
    check_folders(seams.paths, seams.tell);
    recover_unfinished_takes(seams);
    // Asked to stop while a recovered take was transcribed: no new take.
    if (seams.interrupt.requested()) return seams.interrupt.exit_status();

    Run run(seams);
    for (;;) {
        const RecordedTake take = record_take(run);
        if (take.exit_status) return *take.exit_status;
        if (const auto exit_status = finish_take(run, take)) return *exit_status;
        run.next_take();
    }
}
