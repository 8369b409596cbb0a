#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/cycle_seams.h"
#include "app/key_wait.h"
#include "audio/audio_failure.h"

class SampleRing;
class SoundSource;
class StatusLine;

// How a program records one take until Enter: what it shares with the other (the source, the keys, the
// messages) and where the two differ (what they do with the sound, their prompt, their words).
struct TakeRecording {
    SoundSource& source;
    SampleRing& ring;  // emptied at the start of the take
    KeyInput& keys;
    const InterruptSource& interrupt;
    const std::function<void(std::string_view)>& tell;  // the program's messages
    StatusLine& status;                                 // the row under the prompt; a quiet one: none
    // Every block of the take, in order, as the main thread drains it.
    std::function<void(const float* samples, std::size_t count)> keep;
    // Writes the take's prompt, once the source has started and what was typed before is dropped.
    std::function<void()> show_prompt;
    // The main thread's next turn, asked after each one; empty: KeyInput::usual_turn.
    std::function<std::chrono::milliseconds()> next_turn;
    std::string_view program;       // who tells of a time the process did not run: "dictate"
    std::string_view what_goes_on;  // and what goes on after it: "the take"
    // Told, once a take, when an Enter comes before any sound and is ignored; empty: nothing is told.
    std::string_view ignored_enter;
    // Samples of quiet after speech that end the take as Enter would (speech_pause.h); 0: only keys do.
    std::uint64_t pause_ends_after = 0;
    // The words a server has made of the take so far, when they changed since the last call; asked each
    // turn. Empty: the take has none, and the status line makes no row for them.
    std::function<std::optional<std::string>()> live_words = nullptr;
};

// How a take's recording ended.
struct RecordingEnd {
    bool started = false;              // false: the source failed to start; one line said why, nothing ran
    WaitEnd end = WaitEnd::key;        // what ended it
    bool interrupted_in_take = false;  // an interrupt had come before the take was over
    std::uint64_t samples = 0;         // how many samples `keep` was given
};

// Starts the source and shows the prompt, then records until a line is typed once the take holds sound
// (an Enter before any is ignored, and the take goes on), its speech pauses for `pause_ends_after`, input
// ends, an interrupt comes or the source is
// lost (it stopped, or stalled). A time the process did not run is told and the take goes on. When it
// returns the source is sealed and the whole take has gone to `keep`; the source is still open, so that a
// take can be written out before a device that hangs is waited for (close_source()). Main thread.
RecordingEnd record_until_enter(const TakeRecording& recording);

// Closes the source once its take is kept: one that hangs is abandoned, as closing would wait for it
// forever, so only just before the program ends. Returns false when closing failed, told in one line.
bool close_source(SoundSource& source, const std::function<void(std::string_view)>& tell);

// One line for the person about an audio call that failed.
void tell_audio_failure(const std::function<void(std::string_view)>& tell, const AudioFailure& failure);
