// How one exchange with the transcription server ended and what its caller watches while it runs: shared
// by the exchange itself and the transfers behind it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace transcription {

// The most reply bytes kept. A day of speech is about 1.5 MB of plain text, some 5 MB when a server
// escapes every non-ASCII character (\u00e9 for é); servers that add timed segments repeat the text with
// numbers around it. 64 MiB holds all of that with room to spare, yet a runaway reply costs at most that
// much memory (plus the parse of it) instead of all there is.
inline constexpr std::size_t reply_cap = 64 * 1024 * 1024;
// The most reply header bytes read: servers send a few hundred, so more is a runaway and not worth holding.
inline constexpr std::size_t header_cap = 64 * 1024;

// How an exchange ended.
enum class Ending {
    answered,          // a whole reply arrived, whatever its status; also a whole JSON document on a
                       // connection the server kept open, with no length announced or a stop asked for
    refused,           // nothing accepts connections at the endpoint's port
    not_connected,     // no connection for another reason (name not resolved, connect timed out)
    dropped,           // the connection closed or failed before the whole reply had arrived
    over_cap,          // the reply passed reply_cap; the body holds its first reply_cap bytes
    headers_over_cap,  // the reply's headers passed header_cap (or one line the library's own limit)
    stopped,           // the watch's stop_requested() said so
    unreadable_file,   // the WAV file could not be opened or read during the upload
    failed,            // anything else the HTTP library reports
};

struct ExchangeOutcome {
    Ending ending = Ending::failed;
    std::string body;                 // the reply body as it arrived, at most reply_cap bytes
    std::string library_error;        // the library's own words for a failure; empty on success
    long status = 0;                  // HTTP status, 0 when no status line arrived
    std::int64_t bytes_sent = 0;      // request body bytes handed to the connection
    std::int64_t upload_size = -1;    // the request body's full size, -1 when unknown
    std::int64_t bytes_received = 0;  // reply body bytes received
    std::int64_t reply_size = -1;     // the reply's announced Content-Length, -1 when none
    bool connection_failed = false;   // dropped by a reset or a broken pipe rather than an orderly close
};

// What the caller watches while the exchange runs. Both functions run on the calling thread, inside the
// transfer; either may be empty.
struct ExchangeWatch {
    // Polled at least about once a second and whenever a signal interrupts the wait; returning true
    // aborts the transfer at once, which then ends as Ending::stopped.
    std::function<bool()> stop_requested;
    // Called with the number of reply body bytes received so far when `patience` has passed without a new
    // byte either way (once per such stall), and once when `patience` has passed since the upload went out
    // and a reply that has begun is still arriving (a trickle).
    std::function<void(std::int64_t received)> still_waiting;
    std::chrono::milliseconds patience{std::chrono::seconds(30)};
    // Each line of the HTTP library's trace of the transfer ("* " for its notes, "> " for request header
    // lines, "< " for reply header lines), without its line end, with the server's bytes as they came: the
    // caller escapes them before they reach a terminal. Empty: no trace.
    std::function<void(std::string_view line)> trace;
};

}  // namespace transcription
