#pragma once

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "server/lingering_close.h"

namespace server {

// Keeps a copy of every open connection's socket, so that the server can still answer where the HTTP
// library would only drop the connection, and close it the lingering way once the library is done:
// - a request head (request line and headers) that has not all come `head_time` after the connection was
//   accepted gets 408, and the connection is shut down, so a client trickling its head, or sending
//   nothing, holds its connection for that long at most;
// - a request whose head came but whose body ended early, or stalled until the library gave up on it,
//   gets 400 or 408 if nothing was sent back yet.
// The replies written here are JSON objects {"error": ...} with "Connection: close".
// Thread-safe; its own thread watches the deadlines.
class ConnectionWatch {
public:
    struct Connection;

    ConnectionWatch(std::chrono::milliseconds head_time, LingeringClose& closer);
    ~ConnectionWatch();
    ConnectionWatch(const ConnectionWatch&) = delete;
    ConnectionWatch& operator=(const ConnectionWatch&) = delete;

    // A connection was accepted; takes ownership of `socket_copy`, a duplicate of its socket.
    Connection* opened(int socket_copy);
    // Its request head is in. False if that was too late: a 408 went out, and the request must be dropped.
    bool head_received(Connection* connection);
    // A reply to its request is on its way.
    void answered(Connection* connection);
    // The library gave up on the request for want of input (`timed_out`) or because it ended early.
    void request_failed(Connection* connection, bool timed_out);
    // The library has closed the connection; the socket copy goes to a lingering close.
    void closed(Connection* connection);

private:
    void watch();

    std::chrono::milliseconds head_time_;
    LingeringClose& closer_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<Connection> open_;
    bool closing_ = false;
    std::thread thread_;
};

}  // namespace server
