#include "app/transcription_stage.h"

#include <memory>
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
    if (saved.error != 0)
        seams.tell("could not save the text to " + saved.path + ": " + error_text(saved.error));
}

// The streamed request is the take's only when the take kept the name it was sent under: a take named
// "_2" (another took the name while it recorded), or kept as its journal, goes as its own file.
bool sent_under_name_of(const std::string& output_path, const std::string& file_name) {
    if (output_path.size() <= file_name.size() || !output_path.ends_with(file_name)) return false;
    const char separator = output_path[output_path.size() - file_name.size() - 1];
    return separator == '/' || separator == '\\';
}

// The streamed request's reply, when it is this take's. The request is over when this returns: finished,
// or abandoned (the server sees the upload break off), so any upload of the file that follows is the only
// one the server holds for this take.
std::optional<transcription::ExchangeOutcome> end_stream(
    std::unique_ptr<transcription::StreamingUpload> streamed, const std::string& output_path,
    const std::string& server, const TranscriptionSeams& seams, const transcription::ExchangeWatch& watch) {
    std::optional<transcription::ExchangeOutcome> outcome;
    if (streamed && sent_under_name_of(output_path, streamed->file_name())) {
        outcome = streamed->finish(watch);
        if (!outcome && streamed->answered_early())
            seams.tell("the transcription server at " + server +
                       " answered the streamed take before it ended, so it can't have heard all of it; the "
                       "finished file " +
                       output_path + " is sent instead");
    }
    streamed.reset();  // waits for its thread; a request not finished breaks off there
    return outcome;
}

}  // namespace

void run_transcription_stage(const std::string& output_path, const std::string& stem,
                             TranscriptionState& state, const TranscriptionSeams& seams,
                             bool interrupted_first,
                             std::unique_ptr<transcription::StreamingUpload> streamed) {
    const std::string server = server_of(seams.endpoint.url);

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
    std::optional<transcription::ExchangeOutcome> streamed_outcome =
        end_stream(std::move(streamed), output_path, server, seams, watch);
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
    if (seams.deliver) seams.deliver(state.transcription);
    state.transcription.clear();
}
