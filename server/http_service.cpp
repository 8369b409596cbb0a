#include "server/http_service.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <thread>

#include "server/connection.h"
#include "server/messages.h"
#include "server/request_handler.h"

namespace server {
namespace {

// Upload readers; more than the cores, since most of their time is spent waiting on the network or on
// their turn at the recogniser.
constexpr std::size_t worker_threads = 8;
// Per socket operation, not per request: a large upload may take as long as it needs while bytes flow.
constexpr time_t io_timeout_seconds = 60;
// A client's request line and headers come in one packet or a few; these bounds still allow a slow network
// while a client that trickles its head, or never ends it, holds a reader for at most a few seconds and
// a few kilobytes. (The library itself gives up on a single header line beyond 8 KiB.)
constexpr std::chrono::seconds head_time{5};
constexpr std::size_t head_bytes = 64 * 1024;

// The connection this thread is serving, for the refusal of a late or oversized head.
thread_local const Connection* serving = nullptr;

// Figures of the request being answered on this thread, for the log line written after the reply.
struct RequestFigures {
    double audio_seconds = 0.0;
    double decode_seconds = 0.0;
};
thread_local RequestFigures figures;

Headers headers_of(const httplib::Request& request) {
    return Headers(request.headers.begin(), request.headers.end());
}

void send(const Reply& reply, httplib::Response& response) {
    response.status = reply.status;
    response.set_content(reply.json, "application/json");
    figures = {reply.audio_seconds, reply.decode_seconds};
}

std::string library_refusal(int status) {
    switch (status) {
        case 408: return "request head not received within " + std::to_string(head_time.count()) + " s";
        case 431: return "request head over " + std::to_string(head_bytes / 1024) + " KiB";
        case 400: return "malformed request";
        case 413: return "upload over the size limit";
        case 414: return "request target too long";
        case 500: return "internal error";
        default: return "request refused with HTTP status " + std::to_string(status);
    }
}

// Serves every connection through a Connection, so that its request head is bounded in time and size.
// One request per connection: a request refused before its body was read leaves that body unread on the
// connection, where the library would take it for further requests; closing after each reply prevents
// that, and a client making one upload per take gains nothing from keeping connections open.
class BoundedServer final : public httplib::Server {
private:
    bool process_and_close_socket(socket_t socket) override {
        Connection connection(socket, {head_time, head_bytes, std::chrono::seconds(read_timeout_sec_)});
        serving = &connection;
        bool closed = true;
        const bool answered = process_request(connection, true, closed,
                                              [&connection](httplib::Request&) { connection.head_received(); });
        serving = nullptr;
        if (connection.head_fault() != HeadFault::none && !connection.wrote()) {
            std::string ip = "?";
            int port = 0;
            connection.get_remote_ip_and_port(ip, port);
            say("dropped the connection from " + ip + ":" + std::to_string(port) + ": " +
                library_refusal(connection.head_fault() == HeadFault::overdue ? 408 : 431));
        }
        ::shutdown(socket, SHUT_RDWR);
        ::close(socket);
        return answered;
    }
};

std::string request_bytes(const httplib::Request& request) {
    const std::string length = request.get_header_value("Content-Length");
    return length.empty() ? std::to_string(request.body.size()) : length;
}

}  // namespace

HttpService::HttpService(SpeechToText& engine, const Options& options)
    : engine_(engine), options_(options), http_(std::make_unique<BoundedServer>()) {
    httplib::Server& http = *http_;
    http.new_task_queue = [] { return new httplib::ThreadPool(worker_threads); };
    http.set_payload_max_length(options_.max_upload_bytes);
    // Address reuse lets a restarted server bind while old connections linger in TIME_WAIT. The library's
    // default also sets port reuse, which would let a second server share the port silently instead of
    // failing with "address in use".
    http.set_socket_options([](int socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    http.set_read_timeout(io_timeout_seconds, 0);
    http.set_write_timeout(io_timeout_seconds, 0);

    // Refusals that need no body are made before the body is read: the payload limit of the HTTP library
    // only looks at Content-Length, so an upload without one would otherwise be read whole.
    http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        auto refused = screen_request(request.method, request.path, headers_of(request), options_.max_upload_bytes);
        if (!refused) return httplib::Server::HandlerResponse::Unhandled;
        send(*refused, response);
        return httplib::Server::HandlerResponse::Handled;
    });

    auto answer = [this](const httplib::Request& request, httplib::Response& response) {
        Request core{request.method, request.path, headers_of(request), {}};
        for (const auto& [name, part] : request.files) core.parts.push_back({name, part.filename, part.content});
        send(handle_request(core, engine_, options_.max_upload_bytes), response);
    };
    // Every method the library routes reaches the handler, which owns the 404/405 decisions.
    const std::string any_path = ".*";
    http.Get(any_path, answer);
    http.Post(any_path, answer);
    http.Put(any_path, answer);
    http.Patch(any_path, answer);
    http.Delete(any_path, answer);
    http.Options(any_path, answer);

    // Refusals the library makes itself (unreadable request, malformed multipart body) get a JSON body too.
    // A head given up on for its time or size reaches the library as a failed read, which it calls malformed;
    // the client is told the real reason.
    http.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& response) {
            if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
            if (serving != nullptr && serving->head_fault() == HeadFault::overdue) response.status = 408;
            if (serving != nullptr && serving->head_fault() == HeadFault::oversize) response.status = 431;
            const nlohmann::json body{{"error", library_refusal(response.status)}};
            response.set_content(body.dump(), "application/json");
            return httplib::Server::HandlerResponse::Handled;
        }));

    http.set_logger([](const httplib::Request& request, const httplib::Response& response) {
        char line[512];
        std::snprintf(line, sizeof line, "%s %s -> %d, %s bytes, %.2f s audio, %.3f s decode",
                      request.method.c_str(), request.path.substr(0, 200).c_str(), response.status,
                      request_bytes(request).c_str(), figures.audio_seconds, figures.decode_seconds);
        say(line);
        figures = {};
    });
}

HttpService::~HttpService() = default;

std::variant<int, std::string> HttpService::bind() {
    errno = 0;
    int port = options_.port;
    if (port == 0) {
        port = http_->bind_to_any_port(options_.host);
    } else if (!http_->bind_to_port(options_.host, port)) {
        port = -1;
    }
    if (port < 0) {
        const std::string reason = errno != 0 ? std::strerror(errno) : "address not available";
        return "cannot listen on " + options_.host + ":" + std::to_string(options_.port) + ": " + reason;
    }
    return port;
}

bool HttpService::run() { return http_->listen_after_bind(); }

void HttpService::stop() {
    // A signal may come in just before run() has set the library's running flag, and the library ignores
    // stop() until then; give it a moment to get there.
    for (int i = 0; i < 200 && !http_->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    http_->stop();
}

}  // namespace server
