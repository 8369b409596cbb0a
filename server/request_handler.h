#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/header_fields.h"
#include "server/speech_to_text.h"

namespace server {

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

// What to send back: a status and a JSON object, plus figures for the request log: queue_seconds is the
// wait for the decoding turn, decode_seconds the resampling and recognition after it.
struct Reply {
    int status = 200;
    std::string json;
    double audio_seconds = 0.0;
    double decode_seconds = 0.0;
    double queue_seconds = 0.0;
};

// Builds a reply {"error": message}.
Reply error_reply(int status, std::string_view message);

// How an upload's decoding is scheduled; both are optional.
struct DecodeHooks {
    // Held while the upload is resampled and recognised, so that only one upload at a time holds its
    // samples in memory; the wait for it is the reply's queue_seconds.
    std::mutex* turn = nullptr;
    // Told of each piece of the WAV bytes once it has been read (see to_recognizer_input).
    std::function<void(std::string_view)> consumed;
};

// Transcribes one uploaded WAV file: 200 {"text", "duration"}; 400 a malformed WAV; 415 an encoding that
// can't be decoded; 500 if recognition fails. Thread-safe as far as `engine` is.
Reply transcribe_wav(std::string_view wav, SpeechToText& engine, const DecodeHooks& hooks = {});

// Decides what can be decided from the request line and headers alone, before any body is read: methods
// that are not HTTP methods (400), targets over 8 KiB (414), a malformed or conflicting Content-Length
// (400, whatever the request), unknown paths (404) and methods (405), chunked
// uploads (411: a known length lets an oversize upload be refused before it is sent), uploads with no
// Content-Length (411) or one over `max_upload_bytes` (413), and
// uploads that are not multipart/form-data with a boundary (400). Returns nothing when the request should
// go on. Pure; any thread.
std::optional<Reply> screen_request(std::string_view method, std::string_view path, const Headers& headers,
                                    std::uint64_t max_upload_bytes);

// Answers one request completely: screening as above, then GET /health, and POST /transcribe with the WAV
// in part "audio" (or "file"): 200 {"text", "duration"}; 400 no such part or a malformed WAV; 415 an
// encoding that can't be decoded; 500 if recognition fails. Never throws for anything the client sent.
// Thread-safe as far as `engine` is; transcriptions take turns on it.
Reply handle_request(const Request& request, SpeechToText& engine, std::uint64_t max_upload_bytes);

}  // namespace server
