// The words a server has made of a take so far, read while the take streams to it, so that the person sees
// them under the prompt before the take is over. They are only ever shown: the take's text is the streamed
// request's reply, and nothing here can delay, change or break it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "transcription/server_address.h"
#include "transcription/words_events.h"

namespace transcription {

// How a server says it offers live words: its GET /health object has this member, true. The streamed
// request then carries the take's id in take_id_header, and GET /transcribe/events/<id> on the same scheme,
// host and port answers with an event stream (text/event-stream): an event "words" whose data is a JSON
// object with the member "text", the take's whole text so far, for each phrase the server has finished; an
// event "end" when the take's decoding is over.
inline constexpr std::string_view live_words_member = "live_words";
inline constexpr std::string_view take_id_header = "X-Take-Id";

// A new take's id: 32 lowercase hexadecimal digits from the system's cryptographic random source. It is all
// that keeps another process on the machine from reading the take's words, so it is never made from
// anything guessable: empty when the random source fails, and the take then has no live words.
std::string new_take_id();

// The events address of take `take_id` at the server whose take address is `url`.
std::string events_url_of(const std::string& url, const std::string& take_id);

// One take's live words: a GET of its events on a thread of its own, with the setup every request of ours
// has (http_transfer.h). Any failure of that request (refused, not found, dropped, a reply that is not an
// event stream, garbage) only ends the live words, without a word to the person.
//
// Thread: start() from any one thread, at most once; latest() and stop() from any thread. The HTTP library
// must be set up (HttpLibrary) for the object's whole life.
class LiveWords {
public:
    LiveWords() = default;
    // Stops the request and waits for its thread, which notices within about 50 ms.
    ~LiveWords();
    LiveWords(const LiveWords&) = delete;
    LiveWords& operator=(const LiveWords&) = delete;

    // Starts reading the events of take `take_id` from the server behind `endpoint`. Throws
    // std::system_error when no thread can be started.
    void start(const Endpoint& endpoint, const std::string& take_id);
    // Ends the request soon; never waits.
    void stop() { stop_ = true; }
    // The latest words, when they changed since the call that last set `seen` (0 before the first).
    std::optional<std::string> latest(std::uint64_t& seen) const;
    // Once started: the request is over, ended by the server, a failure or stop().
    bool over() const { return over_; }

private:
    void run(const Endpoint& endpoint, const std::string& url);

    std::atomic<bool> stop_{false};
    std::atomic<bool> over_{false};
    mutable std::mutex mutex_;
    std::string text_;
    std::uint64_t texts_read_ = 0;
    std::thread thread_;
};

}  // namespace transcription
