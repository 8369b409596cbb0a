#pragma once

#include <string>

// Where a run keeps a take's files and what they are called: the take "<stem>_output.wav" in the WAV
// folder, its text "<stem>_transcription.txt" in the transcript folder, where the stem is the take's
// timestamp with "_2", "_3", ... when that name was taken. main() passes the standard value below; a test
// may pass folders of its own. Both folders end with '/'. A plain value: copy it freely, any thread.
struct TakePaths {
    std::string wav_folder = "C:/Whisper/";
    std::string transcript_folder = "D:/Whisper/";
    std::string wav_suffix = "_output.wav";
    std::string transcript_suffix = "_transcription.txt";

    // The name of a take's WAV, without a folder (the spare folder keeps takes under it too).
    std::string wav_name(const std::string& stem) const { return stem + wav_suffix; }
    std::string wav_path(const std::string& stem) const { return wav_folder + wav_name(stem); }
    std::string transcript_path(const std::string& stem) const {
        return transcript_folder + stem + transcript_suffix;
    }
};
