// The parts of the upload that tests reach directly. Program code calls send_audio() instead.
#pragma once

#include <cstddef>
#include <string>

namespace transcription_detail {

// The one address the program talks to.
inline constexpr const char* transcription_endpoint = "http://localhost:4999/transcribe";

// send_audio() with the server's URL as a parameter, so a test can aim it at its own loopback server.
// Same contract as send_audio().
std::string send_audio_to(std::string url, std::string wav_path);

// Body sink handed to the HTTP library: appends size * count bytes from data to the std::string that
// reply points to and returns size * count, so it never stops a transfer. Runs on the calling thread,
// inside curl_easy_perform.
std::size_t write_callback(char* data, std::size_t size, std::size_t count, void* reply) noexcept;

}  // namespace transcription_detail
