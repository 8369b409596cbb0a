#include "server/http_service.h"

#include <microhttpd.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

#include "server/connection_watch.h"
#include "server/lingering_close.h"
#include "server/listener.h"
#include "server/messages.h"
#include "server/multipart_reader.h"
#include "server/request_handler.h"
#include "server/upload_spool.h"

namespace server {
namespace {

using Clock = std::chrono::steady_clock;

// A request's head bytes (request line and headers) are kept in the connection's memory, which is bounded
// by this; a longer head is refused by the library.
constexpr std::size_t connection_memory = 64 * 1024;

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// One request, from its headers to its log line.
struct Exchange {
    Exchange(std::string m, std::string p, ConnectionWatch::Connection* c)
        : method(std::move(m)), path(std::move(p)), watched(c) {}

    std::string method;
    std::string path;
    Headers headers;
    ConnectionWatch::Connection* watched;
    Clock::time_point began = Clock::now();
    std::uint64_t received = 0;
    std::unique_ptr<MultipartReader> form;
    // Which part the spool holds: "audio" is preferred over "file", wherever either comes in the form.
    enum class Kept { none, file, audio } kept = Kept::none;
    bool keeping = false;  // whether the part being read goes to the spool
    UploadSpool spool;
    Reply reply;
    bool answered = false;
};

}  // namespace

struct HttpService::State {
    SpeechToText& engine;
    Options options;
    std::optional<Listener> listener;
    std::mutex decode_turn;
    LingeringClose lingering{std::chrono::milliseconds(linger_milliseconds), linger_bytes};
    ConnectionWatch watch{std::chrono::milliseconds(head_milliseconds), lingering};

    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    int in_flight = 0;  // requests whose handling has begun and whose reply is not yet sent

    State(SpeechToText& e, const Options& o) : engine(e), options(o) {}

    MHD_Result answer(MHD_Connection* connection, Exchange& exchange, Reply reply) {
        exchange.reply = std::move(reply);
        exchange.answered = true;
        MHD_Response* response = MHD_create_response_from_buffer(
            exchange.reply.json.size(), exchange.reply.json.data(), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr) return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
        // One request per connection: a client making one upload per take gains nothing from keeping it,
        // and a refused request's unread body must not be taken for the next request.
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        const MHD_Result queued =
            MHD_queue_response(connection, static_cast<unsigned>(exchange.reply.status), response);
        MHD_destroy_response(response);
        return queued;
    }

    // A refusal while the body arrives: the library replies only once a body is complete, so the reply
    // is written on the connection's own socket copy and the library told to drop the request, which
    // leaves the connection to the lingering close.
    MHD_Result refuse_mid_body(Exchange& exchange, Reply reply) {
        exchange.reply = std::move(reply);
        exchange.answered = true;
        const char* reason = MHD_get_reason_phrase_for(static_cast<unsigned>(exchange.reply.status));
        watch.reply(exchange.watched, exchange.reply.status, reason, exchange.reply.json);
        return MHD_NO;
    }

    MHD_Result begin(MHD_Connection* connection, Exchange& exchange) {
        if (auto refused =
                screen_request(exchange.method, exchange.path, exchange.headers, options.max_upload_bytes)) {
            return answer(connection, exchange, std::move(*refused));
        }
        if (exchange.method == "GET") return answer(connection, exchange, Reply{200, R"({"status":"ok"})"});
        Exchange* self = &exchange;
        exchange.form = std::make_unique<MultipartReader>(
            *form_data_boundary(*find_header(exchange.headers, "Content-Type")),
            [self](const std::string& name, const std::string&) {
                self->keeping = (name == "audio" && self->kept != Exchange::Kept::audio) ||
                                (name == "file" && self->kept == Exchange::Kept::none);
                if (self->keeping) {
                    self->spool.clear();
                    self->kept = name == "audio" ? Exchange::Kept::audio : Exchange::Kept::file;
                }
            },
            [self](std::string_view bytes) {
                if (self->keeping) self->spool.append(bytes);
            });
        return MHD_YES;
    }

    MHD_Result take_body(Exchange& exchange, std::string_view bytes) {
        exchange.received += bytes.size();
        const double elapsed = seconds_between(exchange.began, Clock::now());
        if (elapsed > body_grace_seconds &&
            static_cast<double>(exchange.received) < min_body_rate * (elapsed - body_grace_seconds)) {
            char why[160];
            std::snprintf(why, sizeof why,
                          "upload body arriving slower than %.0f KiB/s (%llu bytes in %.1f s)",
                          min_body_rate / 1024, static_cast<unsigned long long>(exchange.received), elapsed);
            return refuse_mid_body(exchange, error_reply(408, why));
        }
        if (!exchange.form->feed(bytes))
            return refuse_mid_body(exchange, error_reply(400, exchange.form->error()));
        if (!exchange.spool.error().empty())
            return refuse_mid_body(exchange, error_reply(500, exchange.spool.error()));
        return MHD_YES;
    }

    MHD_Result finish(MHD_Connection* connection, Exchange& exchange) {
        if (!exchange.form->complete()) {
            return answer(connection, exchange,
                          error_reply(400, "multipart body ends before its closing boundary"));
        }
        if (exchange.kept == Exchange::Kept::none) {
            return answer(connection, exchange,
                          error_reply(400,
                                      "expected multipart/form-data (with a boundary) holding the WAV file "
                                      "in a part named \"audio\""));
        }
        const std::string_view wav = exchange.spool.map();
        if (!exchange.spool.error().empty())
            return answer(connection, exchange, error_reply(500, exchange.spool.error()));
        UploadSpool& spool = exchange.spool;
        DecodeHooks hooks{&decode_turn, [&spool](std::string_view done) { spool.release(done); }};
        return answer(connection, exchange, transcribe_wav(wav, engine, hooks));
    }

    void log(const Exchange& exchange) {
        const std::string* length = find_header(exchange.headers, "Content-Length");
        const std::string bytes =
            length != nullptr ? length->substr(0, 40) : std::to_string(exchange.received);
        char line[512];
        std::snprintf(line, sizeof line, "%s %s -> %d, %s bytes, %.2f s audio, %.3f s queued, %.3f s decode",
                      exchange.method.substr(0, 20).c_str(), exchange.path.substr(0, 200).c_str(),
                      exchange.reply.status, bytes.c_str(), exchange.reply.audio_seconds,
                      exchange.reply.queue_seconds, exchange.reply.decode_seconds);
        say(line);
    }
};

namespace {

MHD_Result collect_header(void* headers, MHD_ValueKind, const char* key, const char* value) {
    static_cast<Headers*>(headers)->emplace_back(key, value != nullptr ? value : "");
    return MHD_YES;
}

MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                      const char* upload_data, size_t* upload_data_size, void** context) {
    auto& state = *static_cast<HttpService::State*>(cls);
    auto* exchange = static_cast<Exchange*>(*context);
    if (exchange == nullptr) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        auto* watched =
            static_cast<ConnectionWatch::Connection*>(info != nullptr ? info->socket_context : nullptr);
        // A head that came after its deadline has had its 408 already.
        if (watched == nullptr || !state.watch.head_received(watched)) return MHD_NO;
        exchange = new Exchange(method, url, watched);
        *context = exchange;
        {
            std::lock_guard lock(state.mutex);
            ++state.in_flight;
        }
        MHD_get_connection_values(connection, MHD_HEADER_KIND, collect_header, &exchange->headers);
        return state.begin(connection, *exchange);
    }
    if (exchange->answered) {
        *upload_data_size = 0;  // the reply is out; whatever else comes is thrown away
        return MHD_YES;
    }
    if (*upload_data_size > 0) {
        const std::string_view bytes(upload_data, *upload_data_size);
        *upload_data_size = 0;
        return state.take_body(*exchange, bytes);
    }
    return state.finish(connection, *exchange);
}

void on_completed(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    auto& state = *static_cast<HttpService::State*>(cls);
    std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*context));
    *context = nullptr;
    if (!exchange) return;
    if (exchange->answered) state.log(*exchange);
    std::lock_guard lock(state.mutex);
    --state.in_flight;
    state.changed.notify_all();
}

// Every connection's socket is duplicated when it is accepted, so that the server can answer where the
// library would not (see ConnectionWatch), and so that when the library closes its own descriptor the
// connection stays open for a lingering close (see LingeringClose).
void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                   MHD_ConnectionNotificationCode code) {
    auto& state = *static_cast<HttpService::State*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const int copy = info != nullptr ? ::fcntl(info->connect_fd, F_DUPFD_CLOEXEC, 0) : -1;
        *socket_context = state.watch.opened(copy);
        return;
    }
    if (*socket_context != nullptr)
        state.watch.closed(static_cast<ConnectionWatch::Connection*>(*socket_context));
    *socket_context = nullptr;
}

// The library's own messages (a connection refused at the limit, a head too long) go to the log.
void library_message(void*, const char* format, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    // What the library calls an internal error is the server dropping a request it refused mid-body
    // itself; that refusal has its own log line.
    if (text.rfind("Application reported internal error", 0) == 0) return;
    say("http: " + text);
}

}  // namespace

HttpService::HttpService(SpeechToText& engine, const Options& options)
    : state_(std::make_unique<State>(engine, options)) {}

HttpService::~HttpService() {
    if (state_->listener) ::close(state_->listener->socket);
}

std::variant<int, std::string> HttpService::bind() {
    auto bound = listen_on(state_->options.host, state_->options.port);
    if (auto* failure = std::get_if<std::string>(&bound)) return *failure;
    state_->listener = std::get<Listener>(bound);
    return state_->listener->port;
}

bool HttpService::run() {
    State& state = *state_;
    if (!state.listener) return false;
    {
        std::lock_guard lock(state.mutex);
        if (state.stopping) return true;
    }
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL |
                     MHD_USE_ITC | MHD_USE_ERROR_LOG;
    if (state.listener->ipv6) flags |= MHD_USE_IPv6;
    MHD_Daemon* daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &on_request, &state, MHD_OPTION_EXTERNAL_LOGGER, &library_message,
        nullptr, MHD_OPTION_LISTEN_SOCKET, state.listener->socket, MHD_OPTION_CONNECTION_LIMIT,
        connection_limit, MHD_OPTION_CONNECTION_TIMEOUT, idle_seconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        connection_memory, MHD_OPTION_NOTIFY_COMPLETED, &on_completed, &state, MHD_OPTION_NOTIFY_CONNECTION,
        &on_connection, &state, MHD_OPTION_END);
    if (daemon == nullptr) return false;

    std::unique_lock lock(state.mutex);
    state.changed.wait(lock, [&] { return state.stopping; });
    // No new connections from here on; requests already being handled get their replies.
    const MHD_socket listening = MHD_quiesce_daemon(daemon);
    if (listening != MHD_INVALID_SOCKET) ::close(listening);  // new clients are refused, not queued
    state.listener.reset();
    state.changed.wait(lock, [&] { return state.in_flight == 0; });
    lock.unlock();
    MHD_stop_daemon(daemon);
    return true;
}

void HttpService::stop() {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->changed.notify_all();
}

}  // namespace server
