#include "tests/support/loopback_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <utility>

namespace dictate_test {

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), "loopback HTTP server: " + what);
}

// Value of the first header called `name` (compared without regard to case) in a request head, or "".
// Good enough for the single-line headers that HTTP clients send.
std::string header_value(const std::string& head, std::string_view name) {
    std::size_t line = head.find("\r\n");
    while (line != std::string::npos && line + 2 < head.size()) {
        const std::size_t start = line + 2;
        line = head.find("\r\n", start);
        const std::string_view text(head.data() + start,
                                    (line == std::string::npos ? head.size() : line) - start);
        const std::size_t colon = text.find(':');
        if (colon != name.size()) continue;
        const bool same = std::equal(name.begin(), name.end(), text.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
        if (!same) continue;
        const std::size_t value = text.find_first_not_of(" \t", colon + 1);
        return value == std::string_view::npos ? std::string() : std::string(text.substr(value));
    }
    return {};
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(ScriptedReply reply, BodyHandling body_handling)
    : reply_(std::move(reply)), body_handling_(body_handling) {
    int stop_pipe[2];
    if (pipe2(stop_pipe, O_CLOEXEC) != 0) throw_errno("pipe2");
    stop_read_fd_ = stop_pipe[0];
    stop_write_fd_ = stop_pipe[1];

    // From here on the destructor is not run if construction fails, so every failure closes what is open.
    auto fail = [this](const std::string& what) {
        const int saved = errno;
        if (listen_fd_ >= 0) close(listen_fd_);
        close(stop_read_fd_);
        close(stop_write_fd_);
        errno = saved;
        throw_errno(what);
    };
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail("bind 127.0.0.1:0");
    if (listen(listen_fd_, 16) != 0) fail("listen");
    socklen_t length = sizeof address;
    if (getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail("getsockname");
    port_ = ntohs(address.sin_port);
    try {
        thread_ = std::thread([this] { serve(); });
    } catch (const std::system_error&) {
        close(listen_fd_);
        close(stop_read_fd_);
        close(stop_write_fd_);
        throw;
    }
}

LoopbackHttpServer::~LoopbackHttpServer() {
    // The byte is never read, so the stop pipe stays readable and every wait of the thread sees it.
    const char stop = 1;
    while (write(stop_write_fd_, &stop, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    close(listen_fd_);
    close(stop_read_fd_);
    close(stop_write_fd_);
}

std::string LoopbackHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<RecordedRequest> LoopbackHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

// Waits until fd is ready for `events` (or has hung up); false when the server is stopping.
bool LoopbackHttpServer::wait_for(int fd, short events) {
    pollfd fds[2] = {{stop_read_fd_, POLLIN, 0}, {fd, events, 0}};
    for (;;) {
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0 && fds[0].revents == 0;
    }
}

// Sleeps for timeout_ms unless the server is told to stop first; true when it is stopping.
bool LoopbackHttpServer::stop_requested_within(int timeout_ms) {
    pollfd stop{stop_read_fd_, POLLIN, 0};
    int ready;
    do {
        ready = poll(&stop, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool LoopbackHttpServer::read_some(int fd, std::string& into) {
    if (!wait_for(fd, POLLIN)) return false;
    char block[64 * 1024];
    ssize_t got;
    do {
        got = recv(fd, block, sizeof block, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    into.append(block, static_cast<std::size_t>(got));
    return true;
}

bool LoopbackHttpServer::write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        if (!wait_for(fd, POLLOUT)) return false;
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

void LoopbackHttpServer::serve() {
    while (wait_for(listen_fd_, POLLIN)) {
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // A client that gave up between poll and accept is harmless; out of descriptors is not, and must
            // not turn this loop into a busy spin while it lasts.
            if (errno != ECONNABORTED && errno != EINTR && stop_requested_within(10)) return;
            continue;
        }
        serve_connection(fd);
        close(fd);
    }
}

void LoopbackHttpServer::serve_connection(int fd) {
    // Each piece of a reply should leave as its own segment instead of waiting for the client's ACK.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    const bool reset = reply_.action == ScriptedReply::Action::reset;
    RecordedRequest request = read_request(fd, reset);
    const bool complete = request.complete;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
    }
    if (reset) {
        // Linger 0: closing sends RST at once instead of a FIN after the unread upload.
        const linger abort{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return;
    }
    if (!complete) return;
    if (reply_.action == ScriptedReply::Action::answer) {
        answer(fd);
        if (!reply_.stay_open) return;
    }
    // Silent, or kept open after the reply: hold the connection until the client closes it or the server
    // stops.
    std::string ignored;
    while (read_some(fd, ignored)) ignored.clear();
}

RecordedRequest LoopbackHttpServer::read_request(int fd, bool head_only) {
    RecordedRequest request;
    std::string buffer;
    std::size_t head_end;
    while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (!read_some(fd, buffer)) {
            request.head = std::move(buffer);
            return request;
        }
    }
    request.head = buffer.substr(0, head_end + 4);
    buffer.erase(0, head_end + 4);
    if (head_only) return request;

    // Only Content-Length framing: the clients under test always know their body's size up front.
    std::size_t remaining = std::strtoull(header_value(request.head, "Content-Length").c_str(), nullptr, 10);
    for (;;) {
        const std::size_t take = std::min(remaining, buffer.size());
        if (body_handling_ == BodyHandling::record) request.body.append(buffer, 0, take);
        request.body_bytes += take;
        remaining -= take;
        buffer.clear();  // bytes past the body would be a pipelined request, which this server does not serve
        if (remaining == 0) break;
        if (!read_some(fd, buffer)) return request;
    }
    request.complete = true;
    return request;
}

void LoopbackHttpServer::answer(int fd) {
    std::string head = "HTTP/1.1 " + std::to_string(reply_.status) + " " + reply_.reason + "\r\n";
    if (reply_.announce_length) head += "Content-Length: " + std::to_string(reply_.body.size()) + "\r\n";
    head += "Connection: close\r\n";
    for (const std::string& line : reply_.headers) head += line + "\r\n";
    head += "\r\n";
    // The last write's bytes are held until the connection is closed (a corked socket keeps a segment that
    // is not full until then), so a client that has the whole reply finds this end closed already: a test
    // that counts its own process's descriptors after a request never counts the server's.
    const auto hold_until_closed = [&] {
        const int on = 1;
        if (!reply_.stay_open) setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
    };
    const std::size_t to_send = std::min(reply_.cut_after, reply_.body.size());
    if (to_send == 0) hold_until_closed();
    if (!write_all(fd, head.data(), head.size())) return;

    const std::size_t pieces = std::max<std::size_t>(reply_.pieces, 1);
    const std::size_t piece_size = (reply_.body.size() + pieces - 1) / pieces;
    for (std::size_t offset = 0; offset < to_send;) {
        // Sleeping in poll keeps the pause interruptible by the destructor.
        if (reply_.pause.count() > 0 && stop_requested_within(static_cast<int>(reply_.pause.count()))) return;
        const std::size_t size = std::min(piece_size, to_send - offset);
        if (offset + size == to_send) hold_until_closed();
        if (!write_all(fd, reply_.body.data() + offset, size)) return;
        offset += size;
    }
}

}  // namespace dictate_test
