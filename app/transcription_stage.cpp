#include "app/transcription_stage.h"

#include <optional>
#include <ostream>

#include <nlohmann/json.hpp>

#include "app/exchange_failure.h"
#include "app/transcript_file.h"
#include "platform/durable_file.h"
#include "transcription/transcription_reply.h"

namespace {

void keep_transcript(TranscriptionState& state, const std::string& stem, const TranscriptionSeams& seams) {
    const SavedTranscript saved = save_transcript(seams.paths, stem, state.transcription);
    state.transcription_path = saved.path;
    if (saved.error != 0)
        seams.tell("could not save the text to " + saved.path + ": " + error_text(saved.error));
}

}  // namespace

void run_transcription_stage(const std::string& output_path, const std::string& stem,
                             TranscriptionState& state, const TranscriptionSeams& seams,
                             bool interrupted_first, transcription::StreamingUpload* streamed) {
    const std::string server = server_of(seams.endpoint);

    transcription::ExchangeWatch watch;
    // An interrupt that came while recording asked for this take to be transcribed before the program
    // ends; one that came after the take was over (while it was written, or during the exchange) means
    // "stop waiting" (a second one ends the process).
    watch.stop_requested = [&seams, interrupted_first] {
        return !interrupted_first && seams.interrupt_requested();
    };
    watch.still_waiting = [&seams, &server](std::int64_t received) {
        const std::string what = received == 0
                                     ? "the transcription server at " + server + " to answer"
                                     : "the rest of the reply of the transcription server at " + server +
                                           " (" + std::to_string(received) + " bytes so far)";
        seams.tell("still waiting for " + what + "; press Ctrl-C to stop waiting (the recording is kept)");
    };
    watch.trace = seams.trace;
    // The reply stays in this function: a failed one can be tens of megabytes, and the next take should
    // not carry it along.
    std::optional<transcription::ExchangeOutcome> streamed_outcome;
    if (streamed != nullptr) streamed_outcome = streamed->finish(watch);
    // Whatever kept the streamed request from an answer, the finished file gets today's upload, so the
    // person sees the same dialogue either way.
    const transcription::ExchangeOutcome outcome =
        streamed_outcome ? std::move(*streamed_outcome)
                         : transcription::exchange(seams.endpoint, output_path, watch);

    std::string why = exchange_failure(outcome, server);
    if (why.empty()) {
        try {
            state.transcription = extract_text(outcome.body);
        } catch (const nlohmann::json::exception& error) {
            why = "the transcription server's reply was unusable: " + start_of(error.what());
        }
    }
    if (!why.empty()) {
        seams.tell("could not get the text of this take: " + why + "; the recording is kept at " +
                   output_path);
        state.transcription.clear();
        return;
    }

    // The file keeps the server's exact bytes; the terminal gets them with control characters escaped but
    // line ends as line ends.
    seams.out << console_safe(state.transcription, LineEnds::kept) << '\n' << std::flush;

    keep_transcript(state, stem, seams);
    state.transcription.clear();
}
