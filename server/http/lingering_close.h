#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace server {

// Closes connections the way that lets a client read a refusal it got while still sending: the write side
// is shut down (the client sees the reply end), then what the client still sends is read and thrown away
// until it closes its side, `most_bytes` have come, or `longest` has passed; only then is the socket
// closed. Closing at once with unread input would make the system reset the connection, and a client busy
// writing would see a broken pipe instead of the reply.
// One thread serves every connection handed over. Thread-safe. A failing wait (the system short of memory)
// stops nothing: every socket is then read without waiting and closed by its deadline at the latest.
class LingeringClose {
public:
    // The system's poll(), or a stand-in that fails for tests.
    using Poll = int (*)(pollfd* fds, nfds_t count, int timeout_ms);

    LingeringClose(std::chrono::milliseconds longest, std::size_t most_bytes, Poll wait = ::poll);
    // Closes every socket still lingering.
    ~LingeringClose();
    LingeringClose(const LingeringClose&) = delete;
    LingeringClose& operator=(const LingeringClose&) = delete;

    // Takes ownership of `socket` (a connected TCP socket) and closes it as above.
    void close(int socket);

private:
    struct Lingering {
        int socket;
        std::chrono::steady_clock::time_point until;
        std::size_t left;
    };
    void serve();

    std::chrono::milliseconds longest_;
    std::size_t most_bytes_;
    Poll wait_;
    int wake_ = -1;  // an eventfd that interrupts the wait when a socket is handed over or on shutdown
    std::mutex mutex_;
    std::vector<Lingering> handed_;
    bool closing_ = false;
    std::thread thread_;
};

}  // namespace server
