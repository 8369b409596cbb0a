// What every request to the server shares: the handle set up the same way for each, the one form a take
// is posted in, whether its body is the finished file or the take as it records, and for a POST the reply
// sink with its caps, the watch, the trace and how the library's result reads.
#pragma once

#include <curl/curl.h>

#include <functional>
#include <string>
#include <vector>

#include "transcription/exchange_outcome.h"
#include "transcription/server_address.h"

namespace transcription_detail {

// One transfer handle to `url` of `server`, set up as every request of ours is: a server on this machine
// never through a proxy, another one through the proxy the environment names; the server's key as
// "Authorization: Bearer"; giving up connecting after 10 seconds, with no signal handling of the library's
// own (the program runs requests on two threads, and a signal disposition is the whole process's), and the
// library's words for a failure kept for failure(). The caller adds what its request needs (add_header for
// headers) and performs it.
//
// Thread: the one that performs it; the library must be set up (HttpLibrary) for the handle's lifetime.
class Transfer {
public:
    Transfer(const transcription::Endpoint& server, const std::string& url);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Null when the library could not make a handle.
    CURL* handle() const { return handle_; }
    // The library's own words for `result` of this transfer, with the detail it noted where it has any.
    std::string failure(CURLcode result) const;
    // Adds one "Name: value" line to the request's head.
    void add_header(const std::string& line);

private:
    CURL* handle_;
    curl_slist* headers_ = nullptr;
    char error_text_[CURL_ERROR_SIZE] = "";  // the library writes into it during the transfer
};

// What the form's audio part ("audio", or "file" for a server of the widespread API) holds.
struct AudioPart {
    // A finished file, read during the transfer, not before: the part is named after its last path
    // component and the body announces its length.
    std::string file_path;
    // Otherwise the take as it records: `read` hands over its next bytes on the transfer's thread (0 at
    // the end, CURL_READFUNC_ABORT to break the request off) under the name `file_name`; the body, its
    // length unknown, is sent in chunks.
    curl_read_callback read = nullptr;
    void* read_data = nullptr;
    std::string file_name;
    // Header lines ("Name: value") the request carries besides those every upload has.
    std::vector<std::string> headers;
};

// Posts the form holding `part` to `server` (with the fields its API asks for) without "Expect:
// 100-continue", keeping at most reply_cap reply bytes and header_cap header bytes, with `watch` polled
// inside the transfer as exchange() promises, and returns how it went. A file that can't be read is told
// without connecting, as Ending::unreadable_file. `reply_head`, when set, is called with the status once the
// head of the reply proper (not an interim 1xx one) has arrived; returning false ends the transfer there, as
// Ending::stopped, and it runs on the transfer's thread like the watch.
//
// Thread: whichever thread calls it owns the transfer; the watch's functions run on that thread. The
// library must be set up (HttpLibrary) for the whole call. Nothing outlives the call.
transcription::ExchangeOutcome perform_post(const transcription::Endpoint& server, const AudioPart& part,
                                            const transcription::ExchangeWatch& watch,
                                            const std::function<bool(long status)>& reply_head = {});

}  // namespace transcription_detail
