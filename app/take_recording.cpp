#include "app/take_recording.h"

#include "app/console_messages.h"
#include "app/speech_pause.h"
#include "app/status_line.h"
#include "app/take_file.h"
#include "audio/sample_ring.h"
#include "audio/sound_source.h"

RecordingEnd record_until_enter(const TakeRecording& recording) {
    RecordingEnd result;
    recording.ring.reset();
    if (auto failure = [&] {
            const AbortTold told = audio_library_abort_told();
            return recording.source.start(recording.ring);
        }()) {
        tell_audio_failure(recording.tell, *failure);
        return result;
    }
    result.started = true;
    recording.keys.drop_typed_ahead();
    const bool words_row = static_cast<bool>(recording.live_words);
    recording.status.begin_take(words_row);
    recording.show_prompt();

    SpeechPause pause(recording.pause_ends_after);
    const auto drain = [&] {
        result.samples += recording.ring.drain([&](const float* samples, std::size_t count) {
            pause.feed(samples, count);
            recording.keep(samples, count);
        });
    };
    std::chrono::milliseconds turn = KeyInput::usual_turn;
    bool paused = false;
    for (bool told_ignored = false;; told_ignored = true) {
        result.end = recording.keys.wait_for_take_end(
            recording.interrupt.fd,
            [&] {
                drain();
                // Read before the source's state: what was said is in the take, whatever happens next.
                if (pause.over()) {
                    paused = true;
                    return false;
                }
                if (words_row)
                    if (auto words = recording.live_words()) recording.status.show_words(*words);
                recording.status.redraw_if_due();
                turn = recording.next_turn ? recording.next_turn() : KeyInput::usual_turn;
                const bool recording_goes_on = recording.source.running() && !recording.source.stalled();
                // Not the device's fault: what was said meanwhile is in the take as far as the sound system
                // held it (a sound server buffers several seconds; a sleeping machine records nothing), and
                // nothing here fills the gap. The status line makes way for the line.
                if (const auto gap = recording.source.paused(); gap.count() > 0) {
                    recording.status.make_way();
                    recording.tell(pause_told(recording.program, gap, recording.what_goes_on));
                    recording.status.resume();
                }
                return recording_goes_on;
            },
            turn);
        if (paused) result.end = WaitEnd::speech_paused;
        if (result.end != WaitEnd::key) break;
        drain();
        if (result.samples > 0) break;
        // A take with no sound at all would be an empty file and an upload for nothing. The status line
        // makes way for the message and comes back under it.
        recording.status.end_take(true);
        if (!told_ignored && !recording.ignored_enter.empty()) recording.tell(recording.ignored_enter);
        recording.status.begin_take(words_row);
    }
    recording.status.end_take(result.end == WaitEnd::key);
    // Read once the take is over: an interrupt from here on is about what follows, not the take.
    result.interrupted_in_take = recording.interrupt.requested();
    recording.source.seal();
    drain();
    return result;
}

bool close_source(SoundSource& source, const std::function<void(std::string_view)>& tell) {
    if (source.stalled()) {
        source.abandon();
        return true;
    }
    if (const auto failure = source.stop()) {
        tell_audio_failure(tell, *failure);
        return false;
    }
    return true;
}

void tell_audio_failure(const std::function<void(std::string_view)>& tell, const AudioFailure& failure) {
    tell("audio: " + failure.call + " failed: " + failure.reason);
}
