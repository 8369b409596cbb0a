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
                             TranscriptionState& state, std::ostream& out, bool interrupted_first) {
    using transcription_detail::transcription_endpoint;
    const std::string server = server_of(transcription_endpoint);

    transcription_detail::ExchangeWatch watch;
    // An interrupt that came while recording asked for this take to be transcribed before the program
    // ends; one that came after the take was over (while it was written, or during the exchange) means
    // "stop waiting" (a second one ends the process).
    watch.stop_requested = [interrupted_first] { return !interrupted_first && interrupt_requested(); };
    watch.still_waiting = [&server](std::int64_t received) {
        const std::string what = received == 0
                                     ? "the transcription server at " + server + " to answer"
                                     : "the rest of the reply of the transcription server at " + server +
                                           " (" + std::to_string(received) + " bytes so far)";
        tell_user("still waiting for " + what + "; press Ctrl-C to stop waiting (the recording is kept)");
    };
    watch.trace = show_trace_line;
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

    // The file keeps the server's exact bytes; the terminal gets them with control characters escaped but
    // line ends as line ends.
    out << console_safe(state.transcription, LineEnds::kept) << '\n' << std::flush;

    keep_transcript(state, timestamp);
    state.transcription.clear();
}
