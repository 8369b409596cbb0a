// What only the tests and the upload benchmark reach: send_audio() aimed at a server of their own. The
// program itself uses transcription_exchange.h.
#pragma once

#include <string>

namespace transcription_detail {

// send_audio() with the server's URL as a parameter, so a test can aim it at its own loopback server.
// Same contract as send_audio().
std::string send_audio_to(std::string url, std::string wav_path);

}  // namespace transcription_detail
