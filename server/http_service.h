#pragma once

#include <memory>
#include <string>
#include <variant>

#include "server/options.h"
#include "server/speech_to_text.h"

namespace httplib {
class Server;
}

namespace server {

// The HTTP front of the server: reads requests off the network, passes them to handle_request, writes the
// replies and logs one line per request. Uploads are read concurrently by a small pool of threads; the
// recogniser makes them take turns for decoding. One request per connection. A client has 5 s and 64 KiB
// for its request line and headers (408 or 431 otherwise, or a logged drop when not even the request line
// came), so slow or endless heads cannot keep the pool from other clients for long.
class HttpService {
public:
    // `engine` must outlive the service.
    HttpService(SpeechToText& engine, const Options& options);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Binds the listening socket. Returns the port bound (the one picked when options.port was 0), or a
    // message naming the address and the reason.
    std::variant<int, std::string> bind();
    // Serves until stop(); requests in flight are finished before it returns. Returns false if serving
    // could not start.
    bool run();
    // Stops accepting connections and makes run() return once requests in flight are done. Any thread.
    void stop();

private:
    SpeechToText& engine_;
    Options options_;
    std::unique_ptr<httplib::Server> http_;
};

}  // namespace server
