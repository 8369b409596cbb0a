#include "app/transcription_stage.h"

#include <ostream>
#include <utility>

#include <nlohmann/json.hpp>

#include "app/console_messages.h"
#include "app/exchange_failure.h"
#include "app/transcript_file.h"
#include "platform/durable_file.h"
#include "platform/interrupt_signal.h"
#include "transcription/transcription_reply.h"
#include "transcription/transcription_request_internal.h"

namespace {

void keep_transcript(TranscriptionState& state, const std::string& stem) {
    const SavedTranscript saved = save_transcript(transcript_directory, stem, state.transcription);
    state.transcription_path = saved.path;
    if (saved.error != 0)
        tell_user("could not save the text to " + saved.path + ": " + error_text(saved.error));
}

}  // namespace

void run_transcription_stage(const std::string& output_path, const std::string& timestamp,
                             TranscriptionState& state, std::ostream& out) {
    using transcription_detail::transcription_endpoint;
    const std::string server = server_of(transcription_endpoint);

    transcription_detail::ExchangeWatch watch;
    // An interrupt that came while recording asked for this take to be transcribed before the program
    // ends; only one that comes during the exchange means "stop waiting" (a second one ends the process).
    const bool interrupted_before = interrupt_requested();
    watch.stop_requested = [interrupted_before] { return !interrupted_before && interrupt_requested(); };
    watch.still_waiting = [&server] {
        tell_user("still waiting for the transcription server at " + server +
                  " to answer; press Ctrl-C to stop waiting (the recording is kept)");
    };
    auto outcome = transcription_detail::exchange(transcription_endpoint, output_path, watch);

    std::string why = exchange_failure(outcome, server);
    if (why.empty()) {
        try {
            state.transcription = extract_text(outcome.body);
        } catch (const nlohmann::json::exception& error) {
            why = "the transcription server's reply was unusable: " + start_of(error.what());
        }
    }
    state.reply = std::move(outcome.body);
    if (!why.empty()) {
        tell_user("could not get the text of this take: " + why + "; the recording is kept at " +
                  output_path);
        state.transcription.clear();
        // A failed reply can be tens of megabytes; the next take should not carry it along.
        state.reply.clear();
        state.reply.shrink_to_fit();
        return;
    }

    // The file keeps the server's exact bytes; the terminal gets them with control characters escaped.
    out << console_safe(state.transcription) << '\n' << std::flush;

    keep_transcript(state, timestamp);
    state.transcription.clear();
}
