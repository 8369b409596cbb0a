#pragma once

#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "server/http/lingering_close.h"

namespace server {

// "ADDRESS:PORT" of the peer of a connected `socket`, for the log.
std::string peer_address(int socket);

// Keeps a copy of every open connection's socket, to bound the time its request head may take, which the
// HTTP library bounds only between bytes, and to close it the lingering way once the library is done.
// A request head (request line and headers) not all in `head_time` after the connection was accepted
// gets 408 (a JSON object {"error": ...}, "Connection: close") and the connection is shut down, so a
// client trickling its head, or sending nothing, holds its connection for that long at most.
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
    // When more than `most` connections are open, answers this one 503 with `busy_json` at once and shuts
    // its write side; its head, when it comes, is then refused by head_received().
    void refuse_if_over(Connection* connection, std::size_t most, std::string_view busy_json);
    // Its request head is in. False if that was too late (a 408 went out) or the connection was refused
    // as above: the request must be dropped.
    bool head_received(Connection* connection);
    // Writes a whole reply (status, JSON body, "Connection: close") on the connection, waiting up to a
    // second for room to send all of it. Only for a request whose body the library is still reading, when
    // it has written nothing and cannot reply before the body is complete; the caller then has the
    // library drop the request.
    void reply(Connection* connection, int status, std::string_view reason, std::string_view json);
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
