#include "server/connection.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace server {
namespace {

using Clock = std::chrono::steady_clock;

// Waits up to `wait` for `events` on `socket`. True also for a hang-up or error, which the following read
// or write then reports.
bool wait_for(int socket, short events, Clock::duration wait) {
    const auto until = Clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        pollfd watched{socket, events, 0};
        const int ready = ::poll(&watched, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

void numeric_address(const sockaddr_storage& address, socklen_t length, std::string& ip, int& port) {
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service,
                      sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

}  // namespace

Connection::Connection(int socket, const Limits& limits)
    : socket_(socket), limits_(limits), head_deadline_(Clock::now() + limits.head_time) {}

bool Connection::is_readable() const {
    return begin_ != end_ || wait_for(socket_, POLLIN, limits_.io_time);
}

bool Connection::is_writable() const { return wait_for(socket_, POLLOUT, limits_.io_time); }

ssize_t Connection::fill() {
    Clock::duration wait = limits_.io_time;
    if (!head_in_) wait = std::min(wait, head_deadline_ - Clock::now());
    if (!wait_for(socket_, POLLIN, wait)) {
        if (!head_in_ && Clock::now() >= head_deadline_) fault_ = HeadFault::overdue;
        return -1;
    }
    ssize_t got = 0;
    do {
        got = ::recv(socket_, buffer_.data(), buffer_.size(), 0);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        begin_ = 0;
        end_ = static_cast<std::size_t>(got);
    }
    return got;
}

ssize_t Connection::read(char* ptr, size_t size) {
    if (fault_ != HeadFault::none) return -1;
    if (begin_ == end_) {
        const ssize_t got = fill();
        if (got <= 0) return got;
    }
    std::size_t take = std::min(size, end_ - begin_);
    if (!head_in_) {
        if (head_taken_ == limits_.head_bytes) {
            fault_ = HeadFault::oversize;
            return -1;
        }
        take = std::min(take, limits_.head_bytes - head_taken_);
        head_taken_ += take;
    }
    std::memcpy(ptr, buffer_.data() + begin_, take);
    begin_ += take;
    return static_cast<ssize_t>(take);
}

ssize_t Connection::write(const char* ptr, size_t size) {
    if (!is_writable()) return -1;
    ssize_t sent = 0;
    do {
        // A client that has gone must cost an error return, not the process (SIGPIPE).
        sent = ::send(socket_, ptr, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent > 0) wrote_ = true;
    return sent;
}

void Connection::get_remote_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        numeric_address(address, length, ip, port);
    }
}

void Connection::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        numeric_address(address, length, ip, port);
    }
}

}  // namespace server
