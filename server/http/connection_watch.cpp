#include "server/http/connection_watch.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include <cerrno>

#include "server/messages.h"
#include "server/http/signal_free_thread.h"

namespace server {
namespace {

using Clock = std::chrono::steady_clock;

// Sends the whole reply unless the client takes nothing for `patience`: the socket is non-blocking, and a
// reply cut short would be read as a broken one.
void send_reply(int socket, int status, std::string_view reason, std::string_view body,
                std::chrono::milliseconds patience = std::chrono::seconds(1)) {
    const std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
                              "\r\nConnection: close\r\nContent-Type: application/json\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
    const auto give_up = Clock::now() + patience;
    std::size_t done = 0;
    while (done < reply.size()) {
        const ssize_t sent =
            ::send(socket, reply.data() + done, reply.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(give_up - Clock::now()).count();
        if (left <= 0) return;
        pollfd writable{socket, POLLOUT, 0};
        ::poll(&writable, 1, static_cast<int>(left));
    }
}

}  // namespace

std::string peer_address(int socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[NI_MAXHOST] = "?";
    char service[NI_MAXSERV] = "?";
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        ::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service,
                      sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    }
    return std::string(host) + ":" + service;
}

struct ConnectionWatch::Connection {
    enum class Stage { head, request, head_overdue, refused };
    int socket;
    Clock::time_point head_deadline;
    Stage stage = Stage::head;
    std::list<Connection>::iterator self;
};

ConnectionWatch::ConnectionWatch(std::chrono::milliseconds head_time, LingeringClose& closer)
    : head_time_(head_time), closer_(closer) {
    thread_ = start_signal_free_thread([this] { watch(); });
}

ConnectionWatch::~ConnectionWatch() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    thread_.join();
    for (Connection& c : open_) closer_.close(c.socket);
}

ConnectionWatch::Connection* ConnectionWatch::opened(int socket_copy) {
    std::lock_guard lock(mutex_);
    open_.push_back({socket_copy, Clock::now() + head_time_, Connection::Stage::head, {}});
    open_.back().self = std::prev(open_.end());
    changed_.notify_all();
    return &open_.back();
}

bool ConnectionWatch::head_received(Connection* connection) {
    std::lock_guard lock(mutex_);
    if (connection->stage != Connection::Stage::head) return false;
    connection->stage = Connection::Stage::request;
    return true;
}

void ConnectionWatch::refuse_if_over(Connection* connection, std::size_t most, std::string_view busy_json) {
    std::lock_guard lock(mutex_);
    if (open_.size() <= most || connection->stage != Connection::Stage::head) return;
    connection->stage = Connection::Stage::refused;
    // Nothing has been sent on a new connection, so the reply fits its send buffer at once.
    send_reply(connection->socket, 503, "Service Unavailable", busy_json, std::chrono::milliseconds(0));
    ::shutdown(connection->socket, SHUT_WR);
}

void ConnectionWatch::reply(Connection* connection, int status, std::string_view reason,
                            std::string_view json) {
    // The socket copy lives until closed(), which the library calls only after the request is dropped;
    // the wait for room to send is no reason to hold up other connections.
    send_reply(connection->socket, status, reason, json);
}

void ConnectionWatch::closed(Connection* connection) {
    std::lock_guard lock(mutex_);
    closer_.close(connection->socket);
    open_.erase(connection->self);
}

void ConnectionWatch::watch() {
    std::unique_lock lock(mutex_);
    while (!closing_) {
        const auto now = Clock::now();
        auto next = now + std::chrono::hours(1);
        for (Connection& c : open_) {
            if (c.stage != Connection::Stage::head && c.stage != Connection::Stage::refused) continue;
            if (now < c.head_deadline) {
                next = std::min(next, c.head_deadline);
                continue;
            }
            if (c.stage == Connection::Stage::refused) {
                // It had its 503; the library need not wait for its head any longer.
                c.stage = Connection::Stage::head_overdue;
                ::shutdown(c.socket, SHUT_RDWR);
                continue;
            }
            c.stage = Connection::Stage::head_overdue;
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(head_time_).count();
            // The library is still reading the head, so it has written nothing on this connection.
            const std::string body = nlohmann::json{
                {"error", "request head not received within " + std::to_string(seconds) +
                              " s"}}.dump();
            send_reply(c.socket, 408, "Request Timeout", body, std::chrono::milliseconds(0));
            say("408 to " + peer_address(c.socket) + ": request head not received within " +
                std::to_string(seconds) + " s");
            // The library sees the end of the input and closes its side; closed() then finishes the job.
            ::shutdown(c.socket, SHUT_RDWR);
        }
        changed_.wait_until(lock, next);
    }
}

}  // namespace server
