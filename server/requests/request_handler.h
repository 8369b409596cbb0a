#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/requests/header_fields.h"
#include "server/requests/live_upload.h"
#include "server/requests/live_words.h"
#include "server/requests/multipart_reader.h"
#include "server/recognition/resampler.h"
#include "server/recognition/speech_to_text.h"
#include "server/requests/upload_spool.h"

namespace server {

// The header naming the series of takes a streamed upload belongs to (32 lowercase hexadecimal digits,
// one id for each run of a client), sent only to a server whose /health says "take_series": true.
inline constexpr std::string_view series_header = "X-Take-Series";

// What to send back: a status and a JSON object, plus figures for the request log: queue_seconds is the
// wait for a decoder, decode_seconds the resampling and recognition after it.
struct Reply {
    int status = 200;
    std::string json;
    double audio_seconds = 0.0;
    double decode_seconds = 0.0;
    double queue_seconds = 0.0;
};

// Builds a reply {"error": message}.
Reply error_reply(int status, std::string_view message);

// The message of an error reply built by error_reply, for the log; empty for any other reply.
std::string error_of(const Reply& reply);

// Transcribes one uploaded WAV file: 200 {"text", "duration"}; 400 a malformed WAV; 415 an encoding that
// can't be decoded; 503 when the engine has no thread to give; 500 if recognition fails. `consumed` is
// told of each piece of `wav` once it has been read (see RecognizerInput). Thread-safe as far as `engine`
// is.
Reply transcribe_wav(std::string_view wav, SpeechToText& engine, const ConsumedBytes& consumed = {});

// 400 when the Content-Length headers, all taken together, are not one number; whatever the request, since
// two lengths for one body let two parsers on the way frame the request differently. Pure.
std::optional<Reply> screen_content_length(const Headers& headers);

// Decides what can be decided from the request line and headers alone, before any body is read: methods
// that are not HTTP methods (400), targets over 8 KiB (414), a malformed or conflicting Content-Length
// (400, whatever the request), unknown paths (404) and methods (405; /health takes GET and HEAD), uploads
// with a transfer coding other than plain chunked (411), uploads with neither a Content-Length nor a
// chunked body (411) or a Content-Length over `max_upload_bytes` (413), and uploads that are not
// multipart/form-data with a boundary (400). A chunked upload is a streamed one (see Request). An events
// request, GET /transcribe/events/<id>, is refused for another method (405) or an id that is not one a
// client may choose (400, see LiveWords::valid_id). Returns nothing when the request should go on. Pure;
// any thread.
std::optional<Reply> screen_request(std::string_view method, std::string_view path, const Headers& headers,
                                    std::uint64_t max_upload_bytes);

// One request from its head to its reply, as the server runs it: the HTTP front, the unit tests and the
// fuzzer all drive this. The transport hands over the head, then the body in pieces of any size, then says
// the body is complete. The body's multipart form is read as it arrives; of its parts, "audio" is kept
// (or, without one, "file") in an upload spool, never in memory. A streamed upload (a chunked body, its
// length unknown) is counted against the upload limit as it arrives, and, once decode_while_arriving()
// was called, its "audio" part is decoded while it arrives (see LiveUpload). Used by one thread at a time.
class Request {
public:
    Request(std::string method, std::string path, Headers headers, std::uint64_t max_upload_bytes);
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // The reply the head alone decides (screen_request; GET or HEAD /health: 200 {"status":"ok"}; an upload
    // the spool's file system has no room for: 507; an events request to a server offering no live words:
    // 404), or nothing: the body is to be read, or the events request answered (see events_take()).
    std::optional<Reply> start();
    // Lets a streamed upload be decoded by `engine` (which must outlive the request) while it arrives, and
    // /health say so; call before start().
    void decode_while_arriving(SpeechToText& engine) { live_engine_ = &engine; }
    // Lets a streamed upload with a valid X-Take-Id header show its words in `words` (which must outlive
    // the request) while it is decoded as it arrives, and /health say so; call before start(), with
    // decode_while_arriving().
    void offer_live_words(LiveWords& words) { live_words_ = &words; }
    // The take a valid events request (GET /transcribe/events/<id>) asks for, once start() has let it go
    // on; empty for any other request. The transport answers it from the LiveWords it offered.
    const std::string& events_take() const { return events_take_; }
    // The next bytes of the body. A reply when the body is refused part way (a malformed form, the spool
    // failing: 507 when its file system is full), after which the rest need not be read.
    std::optional<Reply> take(std::string_view bytes);
    // The body is complete: the reply to the upload (see transcribe_wav). Never throws for anything the
    // client sent.
    Reply finish(SpeechToText& engine);

    const std::string& method() const { return method_; }
    const std::string& path() const { return path_; }
    const Headers& headers() const { return headers_; }

private:
    enum class Kept { none, file, audio };

    // The take of this upload's X-Take-Id in the live words, if it names one that is free.
    std::unique_ptr<LiveWords::Take> take_for_live_words();

    std::string method_;
    std::string path_;
    Headers headers_;
    std::uint64_t max_upload_bytes_;
    std::optional<MultipartReader> form_;
    Kept kept_ = Kept::none;
    bool keeping_ = false;  // whether the part being read goes to the spool
    UploadSpool spool_;
    bool streamed_ = false;
    std::uint64_t received_ = 0;  // body bytes so far
    std::uint64_t reserved_ = 0;  // spool room promised so far
    SpeechToText* live_engine_ = nullptr;
    LiveWords* live_words_ = nullptr;
    std::string events_take_;
    // Declared after the spool: its thread reads the spool's file and is stopped first.
    std::optional<LiveUpload> live_;
};

}  // namespace server
