// A small HTTP/1.1 server on 127.0.0.1 for tests and benchmarks: it records each request as it came off
// the wire and answers every connection from one script.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dictate_test {

// What the server does once it has read a whole request.
struct ScriptedReply {
    enum class Action {
        answer,       // write the reply below, then close the connection
        stay_silent,  // keep the connection open and send nothing until the client leaves or the server stops
        reset,        // once the request's head is in, reset the connection with the body still arriving
    };
    Action action = Action::answer;
    int status = 200;
    std::string reason = "OK";
    // Extra header lines ("Name: value"), written after the server's own Content-Length and
    // "Connection: close".
    std::vector<std::string> headers;
    std::string body;
    // The body goes out in this many writes of about equal size, each preceded by `pause`; the status line
    // and headers always go out in a write of their own first.
    std::size_t pieces = 1;
    std::chrono::milliseconds pause{0};
    // Close the connection once this many body bytes are out, although Content-Length announced the whole
    // body: a server that dies mid-reply.
    std::size_t cut_after = static_cast<std::size_t>(-1);
    // false: no Content-Length, so only the connection's close would end the body.
    bool announce_length = true;
    // Keep the connection open after the reply, as stay_silent does, instead of closing it.
    bool stay_open = false;
};

enum class BodyHandling {
    record,   // keep the request body's bytes
    discard,  // read the body and count it, but keep nothing (for timing large uploads)
};

struct RecordedRequest {
    std::string head;            // request line and header lines, up to and including the empty line
    std::string body;            // body bytes as framed by Content-Length; empty when discarded
    std::size_t body_bytes = 0;  // number of body bytes read, in both modes
    bool complete = false;       // false when the client went away before the whole request arrived
};

class LoopbackHttpServer {
public:
    // Listens on 127.0.0.1 at a port the kernel picks and serves one connection at a time on a thread of its
    // own. Throws std::system_error naming the call and the reason when the socket cannot be set up.
    explicit LoopbackHttpServer(ScriptedReply reply, BodyHandling body_handling = BodyHandling::record);
    // Stops accepting, drops a connection still open and joins the thread; no descriptor is left behind.
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by path.
    std::string url(const std::string& path) const;
    // Every request seen so far, in arrival order. A request is recorded before it is answered, so it is
    // there once the client has its reply. Safe to call from any thread.
    std::vector<RecordedRequest> requests() const;

private:
    void serve();
    void serve_connection(int fd);
    RecordedRequest read_request(int fd, bool head_only);
    void answer(int fd);
    bool wait_for(int fd, short events);
    bool stop_requested_within(int timeout_ms);
    bool read_some(int fd, std::string& into);
    bool write_all(int fd, const char* data, std::size_t size);

    const ScriptedReply reply_;
    const BodyHandling body_handling_;
    int listen_fd_ = -1;
    int stop_read_fd_ = -1;
    int stop_write_fd_ = -1;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::vector<RecordedRequest> requests_;
    std::thread thread_;
};

}  // namespace dictate_test
