#pragma once

#include <iosfwd>
#include <string>

// State the transcription stage keeps for the whole run, so that no cycle has to build it afresh.
struct TranscriptionState {
    std::string reply;
    std::string transcription;
    std::string transcription_path;
};

inline constexpr const char* transcript_directory = "D:/Whisper/";
inline constexpr const char* transcript_suffix = "_transcription.txt";

// Sends the take at `output_path` to the transcription server, shows its text on `out` (flushed, control
// characters but tab and line ends escaped as \xHH) and saves it, byte for byte, with one line end to
// D:/Whisper/<timestamp>_transcription.txt, never replacing or following anything of that name (see
// transcript_file.h). When no usable text comes
// back (no server, a dropped connection, a status other than 2xx whatever its body, a reply over 64 MiB,
// an unusable body), nothing is shown or saved and one line on standard error says why, in the server's
// own words where it gave some, and where the recording is kept; a transcript that cannot be saved is
// reported the same way. After 30 s without a new byte of the reply, or with a reply still trickling in,
// one line says it is still waiting; the HTTP library's trace goes to standard error escaped. An interrupt
// (Ctrl-C, SIGTERM, SIGHUP) stops the transfer within about a second, unless `interrupted_first` says one
// came while the take was still recording: that one asked for the take to be transcribed. Never throws for
// anything the server sends. Main thread.
void run_transcription_stage(const std::string& output_path, const std::string& timestamp,
                             TranscriptionState& state, std::ostream& out, bool interrupted_first);
