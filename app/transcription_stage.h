#pragma once

#include <fstream>
#include <iosfwd>
#include <string>

// State the transcription stage keeps for the whole run, so that no cycle has to build it afresh.
struct TranscriptionState {
    std::string reply;
    std::string transcription;
    std::string transcription_path;
    std::ofstream transcript_file;
};

inline constexpr const char* transcript_directory = "D:/Whisper/";
inline constexpr const char* transcript_suffix = "_transcription.txt";

// Sends the take at `output_path` to the transcription server, shows its text on `out` (one line,
// flushed) and saves it with one line end to D:/Whisper/<timestamp>_transcription.txt, replacing any file of
// that name. When the server's reply carries no usable text, nothing is shown or saved and one line on
// standard error says why and where the recording is kept; a transcript that cannot be saved is reported
// the same way. Never throws for anything the server sends. Main thread.
void run_transcription_stage(const std::string& output_path, const std::string& timestamp,
                             TranscriptionState& state, std::ostream& out);
