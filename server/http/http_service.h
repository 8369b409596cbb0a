#pragma once

#include <memory>
#include <string>
#include <variant>

#include "server/options.h"
#include "server/recognition/speech_to_text.h"

namespace server {

// The HTTP front of the server: reads requests off the network, passes them to the request handling
// (Request), writes the replies and logs one line per request, answered or not. Each connection is served
// by a thread of its own, so slow clients wait on their own threads, not on a shared pool; uploads wait
// for a free decoder in the engine. One request per connection.
//
// Connections are accepted by a HeadScreen, which holds each one until its request head is in (up to 256 at
// once; past that, 503 {"error": "busy"} at once) and only then hands it to the library, so connections
// that send nothing take no room from requests. At most `connection_limit` uploads at once; one more gets
// 503 busy as soon as its head is in. Past `connection_limit + health_headroom` connections in the
// library a connection gets that 503 at once, so /health is answered beside a full load of uploads and a
// full server is told as full rather than reset (up to `library_connection_limit`, where the library
// itself closes new connections).
//
// What a client must do to keep its connection:
// - send its request line and headers (at most 64 KiB) within `head_milliseconds` (otherwise 408);
// - send something at least every `idle_seconds` (otherwise the connection is closed);
// - once its headers are in, keep its body coming at `min_body_rate` bytes per second on average after
//   a grace of `body_grace_seconds` (otherwise 408).
// An upload's body is parsed as it arrives and its audio part kept in an unnamed temporary file, so
// memory per upload is a few hundred KiB while it arrives; the recogniser reads it from there a block at a
// time.
// Every reply carries "Connection: close". A connection is closed by shutting down its write side, then
// reading and throwing away what the client still sends for up to `linger_milliseconds` and
// `linger_bytes`, so a client refused while it sends its body reads the refusal instead of a reset.
class HttpService {
public:
    static constexpr unsigned connection_limit = 64;
    static constexpr unsigned health_headroom = 16;
    static constexpr unsigned library_connection_limit = connection_limit + 2 * health_headroom;
    static constexpr unsigned head_milliseconds = 5000;
    static constexpr unsigned idle_seconds = 10;
    static constexpr double body_grace_seconds = 5.0;
    static constexpr double min_body_rate = 64 * 1024;
    static constexpr unsigned linger_milliseconds = 2000;
    static constexpr std::size_t linger_bytes = 64 * 1024 * 1024;

    // `engine` must outlive the service.
    HttpService(SpeechToText& engine, const Options& options);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Binds the listening socket. Returns the port bound (the one picked when options.port was 0), or a
    // message naming the address and the resolver's or system's reason.
    std::variant<int, std::string> bind();
    // Serves until stop(); requests in flight are finished before it returns. Returns false if serving
    // could not start. Call bind() first.
    bool run();
    // Stops accepting connections and makes run() return once requests in flight are done. Any thread,
    // any time: a stop that comes before run() makes run() return at once.
    void stop();

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace server
