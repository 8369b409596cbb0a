#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "server/http/lingering_close.h"

namespace server {

// Accepts connections and looks at each request head before the HTTP library does, without taking it off
// the socket (it peeks), so that a head the library would answer badly is answered here instead (the
// library sends its own 400 for a malformed Content-Length twice over). A connection whose head passes is
// handed to the library with the head still unread; one refused gets the reply and a lingering close.
//
// A connection that has not sent its whole head within `head_time` gets 408; one accepted while
// `most_waiting` others are still sending their heads gets 503 busy at once. Heads longer than
// `longest_screened` are handed over unscreened (the library bounds them), which keeps the cost of
// peeking again at each new piece small. One thread; the callbacks run on it.
class HeadScreen {
public:
    // The whole HTTP reply to send for a head (request line and headers, up to the blank line), or
    // nothing when the library should have it.
    using Screen = std::function<std::optional<std::string>(std::string_view head)>;
    // Takes ownership of `socket`, whose head is unread.
    using HandOver = std::function<void(int socket, const sockaddr* address, socklen_t length)>;

    static constexpr std::size_t longest_screened = 16 * 1024;
    static constexpr std::size_t most_waiting = 256;

    // Starts accepting on `listening` (made non-blocking; the caller keeps ownership). Throws
    // std::runtime_error if the thread's wake-up descriptor cannot be made.
    HeadScreen(int listening, std::chrono::milliseconds head_time, LingeringClose& closer, Screen screen,
               HandOver hand_over);
    // Stops accepting and closes every connection still sending its head.
    ~HeadScreen();
    HeadScreen(const HeadScreen&) = delete;
    HeadScreen& operator=(const HeadScreen&) = delete;

    // The reply for a connection refused with `status` and a JSON `body`.
    static std::string reply(int status, std::string_view reason, std::string_view body);

private:
    void serve();

    int listening_;
    std::chrono::milliseconds head_time_;
    LingeringClose& closer_;
    Screen screen_;
    HandOver hand_over_;
    int wake_ = -1;
    std::mutex mutex_;
    bool closing_ = false;
    std::thread thread_;
};

}  // namespace server
