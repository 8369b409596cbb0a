// What only the tests and the upload benchmark reach: the upload of a take for code that wants only the
// reply. The program itself uses exchange() (transcription_exchange.h), which also tells how it ended.
#pragma once

#include <string>

namespace transcription_detail {

// Posts the WAV file at wav_path to `url` as exchange() does, with nothing watched, and returns the reply
// body exactly as it arrived, whatever the status: empty, or what arrived before the failure, after any
// failure (no server, a refused or dropped connection, a missing or unreadable file); a reply longer than
// reply_cap is cut off there. Nothing is printed. Thread and ownership as exchange().
std::string send_audio_to(std::string url, std::string wav_path);

}  // namespace transcription_detail
