#include "app/transcription_stage.h"

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/console_messages.h"
#include "transcription/transcription_reply.h"
#include "transcription/transcription_request.h"

namespace {

std::string os_reason() { return errno != 0 ? std::strerror(errno) : "unknown I/O error"; }

// The JSON library quotes the token it failed on, and a server can send one of any length (an unclosed
// string of megabytes): the person gets the start of it, enough to recognise, on one readable line.
std::string readable_reason(std::string_view reason) {
    constexpr std::size_t longest = 240;
    if (reason.size() <= longest) return std::string(reason);
    std::size_t cut = longest;
    // Never split a UTF-8 sequence: back up over continuation bytes (10xxxxxx) to a character's start.
    while (cut > 0 && (static_cast<unsigned char>(reason[cut]) & 0xC0) == 0x80) --cut;
    return std::string(reason.substr(0, cut)) + "... (" + std::to_string(reason.size() - cut) +
           " more bytes)";
}

void save_transcript(TranscriptionState& state) {
    errno = 0;
    state.transcript_file.open(state.transcription_path, std::ios::out | std::ios::trunc);
    if (!state.transcript_file) {
        tell_user("could not save the text to " + state.transcription_path + ": " + os_reason());
        return;
    }
    state.transcript_file.clear();
    state.transcript_file << state.transcription << std::endl;
    std::string failure = state.transcript_file ? "" : os_reason();
    errno = 0;
    state.transcript_file.close();
    if (failure.empty() && !state.transcript_file) failure = os_reason();
    if (!failure.empty()) tell_user("could not save the text to " + state.transcription_path + ": " + failure);
}

}  // namespace

void run_transcription_stage(const std::string& output_path, const std::string& timestamp,
                             TranscriptionState& state, std::ostream& out) {
    state.reply = send_audio(output_path);
    try {
        state.transcription = extract_text(state.reply);
    } catch (const nlohmann::json::exception& error) {
        const std::string why =
            state.reply.empty()
                ? "no reply came from the transcription server at localhost:4999 (is it running?)"
                : "the transcription server's reply was unusable: " + readable_reason(error.what());
        tell_user("could not get the text of this take: " + why + "; the recording is kept at " + output_path);
        state.transcription.clear();
        return;
    }

    out << state.transcription << '\n' << std::flush;

    state.transcription_path = transcript_directory;
    state.transcription_path += timestamp;
    state.transcription_path += transcript_suffix;
    save_transcript(state);
    state.transcription.clear();
}
