#pragma once

#include <httplib.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <string>

namespace server {

// Why a request head (request line and headers) was given up on.
enum class HeadFault { none, overdue, oversize };

// One accepted connection as the HTTP library reads and writes it, with the two bounds the library lacks.
// The request head must arrive within `head_time` of construction and within `head_bytes`: otherwise a
// client sending a byte now and then holds a reader thread for as long as it likes, and a header line that
// never ends is kept in memory whole. Past either bound, reads fail (and head_fault() says which), so the
// library abandons the request. Once head_received() is called only the per-operation `io_time` applies, so
// a large upload may take as long as it needs while bytes flow.
// Does not own the socket. Used by one thread at a time.
class Connection final : public httplib::Stream {
public:
    struct Limits {
        std::chrono::steady_clock::duration head_time;
        std::size_t head_bytes;
        std::chrono::steady_clock::duration io_time;  // per wait for the socket to become readable or writable
    };

    Connection(int socket, const Limits& limits);

    // Lifts the head bounds: the library has parsed the request line and headers.
    void head_received() { head_in_ = true; }
    HeadFault head_fault() const { return fault_; }
    // Whether any byte of a reply has been sent.
    bool wrote() const { return wrote_; }

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    int socket() const override { return socket_; }

private:
    // Refills the buffer from the socket: the byte count, 0 at end of stream, -1 on error or timeout.
    ssize_t fill();

    int socket_;
    Limits limits_;
    std::chrono::steady_clock::time_point head_deadline_;
    std::size_t head_taken_ = 0;
    bool head_in_ = false;
    HeadFault fault_ = HeadFault::none;
    bool wrote_ = false;
    // The library reads the head a byte at a time; the buffer spares a system call per byte.
    std::array<char, 4096> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace server
