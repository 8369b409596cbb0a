// The exchange of one recording with the transcription server and how it ended: what the transcription
// stage uses to send a take and to tell the person what went wrong.
#pragma once

#include <string>

#include "transcription/exchange_outcome.h"
#include "transcription/server_address.h"

namespace transcription {

// Posts the WAV file at wav_path to the server as the multipart form part "audio" (named after the file's
// last path component, of type application/octet-stream, the body's length announced), or to a server of
// the widespread API as its part "file" beside the fields "model" and "response_format" ("json"). A server
// on this machine is never reached through a proxy whatever the environment says; another one through the
// proxy the usual variables name (http_proxy, https_proxy, all_proxy, no_proxy). Returns how it went. A file
// that can't be read ends it as Ending::unreadable_file before any connection. Connecting gives up after 10
// seconds; once connected there is no time limit, since uploading and decoding a long take can take minutes:
// `watch` is how the caller tells the person and stops waiting. Never throws except std::bad_alloc before the
// transfer starts.
//
// Thread: any, the watch's functions running on it; the HTTP library must be set up (HttpLibrary,
// http_library.h) for the whole call. Ownership: the file is read during the transfer, not before; the
// caller keeps it in place until the call returns. Nothing outlives the call.
ExchangeOutcome exchange(const Endpoint& server, std::string wav_path, const ExchangeWatch& watch);

}  // namespace transcription
