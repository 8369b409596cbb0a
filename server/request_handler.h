#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/speech_to_text.h"

namespace server {

// Request headers as received; names compare case-insensitively.
using Headers = std::vector<std::pair<std::string, std::string>>;

// One part of a multipart/form-data body. `content` points into the request body held by the caller.
struct FormPart {
    std::string name;
    std::string filename;
    std::string_view content;
};

// A request after the transport has read it: the body already split into form parts (empty when the body
// was not multipart/form-data).
struct Request {
    std::string method;
    std::string path;
    Headers headers;
    std::vector<FormPart> parts;
};

// What to send back: a status and a JSON object, plus figures for the request log (decode_seconds covers
// resampling and recognition, including any wait for the recogniser while another upload is decoded).
struct Reply {
    int status = 200;
    std::string json;
    double audio_seconds = 0.0;
    double decode_seconds = 0.0;
};

// Decides what can be decided from the request line and headers alone, before any body is read: unknown
// paths (404) and methods (405), uploads without a Content-Length (411) or with one over `max_upload_bytes`
// (413), and uploads that are not multipart/form-data with a boundary (400). Returns nothing when the request should go on to handle_request. Pure; any thread.
std::optional<Reply> screen_request(std::string_view method, std::string_view path, const Headers& headers,
                                    std::uint64_t max_upload_bytes);

// Answers one request completely: screening as above, then GET /health, and POST /transcribe with the WAV
// in part "audio" (or "file"): 200 {"text", "duration"}; 400 no such part or a malformed WAV; 415 an
// encoding that can't be decoded; 500 if recognition fails. Never throws for anything the client sent.
// Thread-safe as far as `engine` is; transcriptions take turns on it.
Reply handle_request(const Request& request, SpeechToText& engine, std::uint64_t max_upload_bytes);

}  // namespace server
