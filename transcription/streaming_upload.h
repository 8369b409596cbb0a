// A take sent to the transcription server while it records, so that a server which decodes as the audio
// arrives has only the last moments left to search when the person presses Enter.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "transcription/live_words.h"
#include "transcription/transcription_exchange.h"

namespace transcription {

// How a server says it takes a streamed take: its GET /health reply (the same scheme, host and port, path
// "/health") is a JSON object whose member "streaming" is true. The streamed request is the exchange()'s
// POST with the same form and file name, sent with a chunked body whose WAV header leaves its sizes
// unknown; it ends when the take does.
inline constexpr std::string_view streaming_member = "streaming";

// A server whose health reply also has "take_series": true learns from one run's takes to decode its next
// ones sooner: each streamed request then names the run in this header, with an id the run picks at
// random (32 lowercase hexadecimal digits, the same for all its takes). A server that does not say so is
// sent no such header.
inline constexpr std::string_view series_member = "take_series";
inline constexpr std::string_view series_header = "X-Take-Series";
// The id this run's takes are sent under; made on the first call.
const std::string& run_series_id();

// One take's streamed request. Asking the server and the request itself run on a thread of its own; the
// take's owner hands over its bytes as they are recorded and, once the take is over, either gets the
// reply or hears that the finished file must be uploaded as usual. The take's file is never read here.
//
// Thread: every member is for the one thread that records the take (the main thread). The HTTP library
// must be set up (HttpLibrary, http_library.h) for the object's whole life. exchange() may be called while
// one exists, but not while its request runs: finish() or destroy it first, which keeps a second request
// of the same take from holding the server beside it.
class StreamingUpload {
public:
    // Starts asking the server behind `endpoint` whether it takes a streamed take and, if it does, posts
    // one with the part named `file_name`; with `show_live_words`, also reads the take's live words from a
    // server that offers them (only where something shows them: no id is sent otherwise). Throws
    // std::system_error when no thread can be started.
    StreamingUpload(Endpoint endpoint, std::string file_name, bool show_live_words = false);
    // Abandons a request that has not been finished (the server sees the upload break off) and waits for
    // its thread, which notices within about a second.
    ~StreamingUpload();
    StreamingUpload(const StreamingUpload&) = delete;
    StreamingUpload& operator=(const StreamingUpload&) = delete;

    // Adds the next bytes of the body's file: the WAV header first, then the samples as they lie in the
    // file. Never waits for the server: bytes it has not taken yet are held here, and a server that falls
    // behind by more than held_cap bytes loses the stream (the file is then uploaded whole).
    void append(const char* bytes, std::size_t count);

    // The take is over: ends the body and waits for the reply while `watch` is polled (its functions run
    // here, on the calling thread, and the request's trace lines reach watch.trace here too). Returns the
    // outcome when the server answered with a 2xx status after the whole body had gone, or the watch asked
    // to stop. Returns nothing when the finished file must be uploaded instead: the server does not take
    // streamed takes, or the streamed request failed at any point (no connection, dropped, a status other
    // than 2xx, fallen behind, a reply before the body ended). Whatever it returns, the request is over
    // and its connection closed when it does. Call at most once.
    std::optional<ExchangeOutcome> finish(const ExchangeWatch& watch);

    // After finish(): the server answered with a 2xx status before the body ended. A server can't have
    // heard a take it answers before the take is over, so the request was ended when the reply came.
    bool answered_early() const;

    // The name the take's part was sent under.
    const std::string& file_name() const { return file_name_; }

    // True while the server has taken the request and it is under way. Any thread.
    bool sending() const { return sending_; }

    // The words a server that offers them (live_words.h) has made of the take so far, when they changed
    // since the call that last set `seen` (0 before the first). They stop coming once finish() is called.
    std::optional<std::string> live_words(std::uint64_t& seen) const { return live_.latest(seen); }

    // The most bytes held for a server that has not taken them yet: about 90 s of a take.
    static constexpr std::size_t held_cap = 8 * 1024 * 1024;

private:
    void run();
    // Whether the server takes a streamed take; the flags are set to whether it offers live words and
    // whether it keeps series of takes.
    bool server_streams(bool& offers_live_words, bool& series);
    std::size_t read_body(char* into, std::size_t most);
    void relay(const ExchangeWatch& watch, std::unique_lock<std::mutex>& lock);

    const Endpoint endpoint_;
    const std::string file_name_;
    const bool show_live_words_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<char> held_;     // bytes appended and not yet sent
    std::size_t held_from_ = 0;  // where in held_ the unsent bytes begin
    bool ended_ = false;         // the take is over: no more bytes
    bool body_ended_ = false;    // the request has been handed the body's last byte
    bool answered_early_ = false;
    std::atomic<bool> sending_{false};
    std::atomic<bool> abandoned_{false};  // the owner no longer wants the request (also read unlocked)
    bool stop_asked_ = false;             // finish()'s watch asked to stop waiting
    bool fallen_behind_ = false;
    bool done_ = false;                        // the thread has nothing left to do
    std::optional<ExchangeOutcome> outcome_;   // the request's, when it was made
    std::vector<std::string> trace_;           // trace lines not yet relayed
    std::vector<std::int64_t> still_waiting_;  // notices not yet relayed
    std::string take_id_;  // set when the server offers live words: read once the request is under way
    LiveWords live_;
    std::thread thread_;
};

}  // namespace transcription
