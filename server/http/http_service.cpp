#include "server/http/http_service.h"

#include <microhttpd.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

#include "server/http/connection_watch.h"
#include "server/http/head_screen.h"
#include "server/http/lingering_close.h"
#include "server/http/listener.h"
#include "server/messages.h"
#include "server/requests/live_words.h"
#include "server/requests/request_handler.h"

namespace server {
namespace {

using Clock = std::chrono::steady_clock;

// A request's head bytes (request line and headers) are kept in the connection's memory, which is bounded
// by this; a longer head is refused by the library.
constexpr std::size_t connection_memory = 64 * 1024;

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// An events reply as it is written: the event being sent, and what the log line says of it. Shared by the
// request and the library's response, which may outlive the request by a little.
struct EventStream {
    std::unique_ptr<LiveWords::Reader> reader;
    std::string pending;   // the rest of the event being sent
    std::size_t sent = 0;  // of pending
    bool ended = false;    // the end event is pending or sent
    unsigned words = 0;    // words events sent
};

// Events replies send a comment this often when nothing else comes, so that a connection whose client has
// gone is noticed by a failed write, and the library's idle timeout never closes one that waits for words.
constexpr std::chrono::milliseconds keep_alive_every{4000};

// One request, from its headers to its log line.
struct Exchange {
    Exchange(std::string method, std::string path, Headers headers, std::uint64_t max_upload_bytes,
             ConnectionWatch::Connection* c)
        : request(std::move(method), std::move(path), std::move(headers), max_upload_bytes), watched(c) {}

    Request request;
    ConnectionWatch::Connection* watched;
    Clock::time_point began = Clock::now();
    std::uint64_t received = 0;
    bool upload = false;  // counted among the uploads being handled
    bool events = false;  // an events request, also counted among the uploads
    Reply reply;
    bool answered = false;
    std::shared_ptr<EventStream> stream;  // once an events reply has begun
};

// The library asks for the next bytes of an events reply on the connection's own thread, which may wait
// here: this waits for words at most keep_alive_every, and a slow or absent client never reaches the take.
ssize_t next_events(void* cls, std::uint64_t, char* into, std::size_t most) {
    EventStream& stream = **static_cast<std::shared_ptr<EventStream>*>(cls);
    if (stream.sent == stream.pending.size()) {
        if (stream.ended) return MHD_CONTENT_READER_END_OF_STREAM;
        const auto event = stream.reader->next(keep_alive_every);
        switch (event.kind) {
            case LiveWords::Reader::Event::Kind::words:
                stream.pending = "event: words\ndata: " +
                                 nlohmann::json{{"text", event.text}}.dump(
                                     -1, ' ', false, nlohmann::json::error_handler_t::replace) +
                                 "\n\n";
                ++stream.words;
                break;
            case LiveWords::Reader::Event::Kind::end:
                stream.pending = "event: end\ndata: {}\n\n";
                stream.ended = true;
                break;
            case LiveWords::Reader::Event::Kind::none:
                stream.pending = ":\n\n";
                break;
        }
        stream.sent = 0;
    }
    const std::size_t count = std::min(most, stream.pending.size() - stream.sent);
    std::memcpy(into, stream.pending.data() + stream.sent, count);
    stream.sent += count;
    return static_cast<ssize_t>(count);
}

void forget_events(void* cls) { delete static_cast<std::shared_ptr<EventStream>*>(cls); }

// Set on a connection's thread when the server itself has the library drop the request: the library then
// reports an error of the application, which the server's own log line has already explained.
thread_local bool dropped_on_purpose = false;

const char* why_closed(MHD_RequestTerminationCode code) {
    switch (code) {
        case MHD_REQUEST_TERMINATED_TIMEOUT_REACHED:
            return "closed: nothing arrived within the idle time";
        case MHD_REQUEST_TERMINATED_CLIENT_ABORT:
            return "closed by the client before the request was complete";
        case MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN:
            return "closed: the server is stopping";
        case MHD_REQUEST_TERMINATED_READ_ERROR:
            return "closed: the connection failed while the request was read";
        default:
            return "closed unanswered";
    }
}

}  // namespace

struct HttpService::State {
    SpeechToText& engine;
    Options options;
    std::optional<Listener> listener;
    LingeringClose lingering{std::chrono::milliseconds(linger_milliseconds), linger_bytes};
    ConnectionWatch watch{std::chrono::milliseconds(head_milliseconds), lingering};

    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    int in_flight = 0;     // requests whose handling has begun and whose reply is not yet sent
    int events = 0;        // events requests among them
    unsigned uploads = 0;  // uploads and events requests between their head and their end
    LiveWords live_words;

    State(SpeechToText& e, const Options& o) : engine(e), options(o) {}

    // An events request: waits for its take, then answers with its events as they come, or refuses.
    MHD_Result open_events(MHD_Connection* connection, Exchange& exchange) {
        // The wait for the take must not count as idle time, nor a wait for words between keep-alives.
        MHD_set_connection_option(
            connection, MHD_CONNECTION_OPTION_TIMEOUT,
            static_cast<unsigned>(LiveWords::default_wait.count() / 1000) + idle_seconds);
        auto lookup = live_words.watch(exchange.request.events_take());
        switch (lookup.found) {
            case LiveWords::Found::unknown:
                return answer(connection, exchange,
                              error_reply(404, "no take with this id is being decoded"));
            case LiveWords::Found::watched:
                return answer(connection, exchange,
                              error_reply(409, "this take's events are being read already"));
            case LiveWords::Found::stopping:
                return answer(connection, exchange, error_reply(503, "the server is stopping"));
            case LiveWords::Found::take:
                break;
        }
        auto stream = std::make_shared<EventStream>();
        stream->reader = std::move(lookup.reader);
        auto* cls = new std::shared_ptr<EventStream>(stream);
        MHD_Response* response =
            MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &next_events, cls, &forget_events);
        if (response == nullptr) {
            delete cls;
            return MHD_NO;
        }
        exchange.stream = std::move(stream);
        exchange.reply = Reply{200, ""};
        exchange.answered = true;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
        MHD_destroy_response(response);
        return queued;
    }

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
        dropped_on_purpose = true;
        return MHD_NO;
    }

    MHD_Result begin(MHD_Connection* connection, Exchange& exchange) {
        if (options.streaming) {
            exchange.request.decode_while_arriving(engine);
            exchange.request.offer_live_words(live_words);
        }
        if (auto decided = exchange.request.start()) return answer(connection, exchange, std::move(*decided));
        const bool events = !exchange.request.events_take().empty();
        {
            std::lock_guard lock(mutex);
            if (uploads >= connection_limit) {
                // Beyond the limit an upload is told at once that the server is full; the room left is
                // for /health. An events reply lasts as long as an upload, so it takes an upload's room.
                Reply busy = error_reply(503, "busy");
                return answer(connection, exchange, std::move(busy));
            }
            ++uploads;
            exchange.upload = true;
            exchange.events = events;
            if (events) ++this->events;
        }
        if (events) return open_events(connection, exchange);
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
        if (auto refused = exchange.request.take(bytes))
            return refuse_mid_body(exchange, std::move(*refused));
        return MHD_YES;
    }

    MHD_Result finish(MHD_Connection* connection, Exchange& exchange) {
        return answer(connection, exchange, exchange.request.finish(engine));
    }

    void log(const Exchange& exchange, MHD_RequestTerminationCode code) {
        const Request& request = exchange.request;
        const std::string* length = find_header(request.headers(), "Content-Length");
        const std::string bytes =
            length != nullptr ? length->substr(0, 40) : std::to_string(exchange.received);
        const std::string method = request.method().substr(0, 20);
        // The whole id is what lets a process read a take's words; the log shows enough to tell takes apart.
        const std::string path = exchange.events
                                     ? "/transcribe/events/" + request.events_take().substr(0, 8) + "..."
                                     : request.path().substr(0, 200);
        char line[768];
        if (exchange.stream) {
            const EventStream& stream = *exchange.stream;
            std::snprintf(line, sizeof line, "%s %s -> 200, %u words events in %.2f s, %s", method.c_str(),
                          path.c_str(), stream.words, seconds_between(exchange.began, Clock::now()),
                          code == MHD_REQUEST_TERMINATED_COMPLETED_OK && stream.ended ? "ended with the take"
                                                                                      : why_closed(code));
            say(line);
            return;
        }
        if (!exchange.answered) {
            std::snprintf(line, sizeof line, "%s %s -> %s, %llu of %s bytes received", method.c_str(),
                          path.c_str(), why_closed(code), static_cast<unsigned long long>(exchange.received),
                          bytes.c_str());
            say(line);
            return;
        }
        // A failure of the server's own (no room, no thread, a failing engine) says why in the log too.
        const std::string why =
            exchange.reply.status >= 500 ? ": " + error_of(exchange.reply).substr(0, 300) : std::string();
        std::snprintf(line, sizeof line,
                      "%s %s -> %d, %s bytes, %.2f s audio, %.3f s queued, %.3f s decode%s", method.c_str(),
                      path.c_str(), exchange.reply.status, bytes.c_str(), exchange.reply.audio_seconds,
                      exchange.reply.queue_seconds, exchange.reply.decode_seconds, why.c_str());
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
        // A head that came after its deadline has had its 408 already, and a connection over the limit
        // its 503.
        if (watched == nullptr || !state.watch.head_received(watched)) {
            dropped_on_purpose = true;
            return MHD_NO;
        }
        Headers headers;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, collect_header, &headers);
        exchange = new Exchange(method, url, std::move(headers), state.options.max_upload_bytes, watched);
        *context = exchange;
        {
            std::lock_guard lock(state.mutex);
            ++state.in_flight;
        }
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

void on_completed(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode code) {
    auto& state = *static_cast<HttpService::State*>(cls);
    std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*context));
    *context = nullptr;
    if (!exchange) return;
    state.log(*exchange, code);
    const bool upload = exchange->upload;
    const bool events = exchange->events;
    exchange.reset();  // its spool goes before it stops counting
    std::lock_guard lock(state.mutex);
    if (upload) --state.uploads;
    if (events) --state.events;
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
        auto* watched = state.watch.opened(copy);
        *socket_context = watched;
        // Past the limit and its room for /health, a client is told at once that the server is full
        // rather than have its connection reset.
        state.watch.refuse_if_over(watched, HttpService::connection_limit + HttpService::health_headroom,
                                   error_reply(503, "busy").json);
        return;
    }
    if (*socket_context != nullptr)
        state.watch.closed(static_cast<ConnectionWatch::Connection*>(*socket_context));
    *socket_context = nullptr;
}

// A request head before the library reads it: only a malformed Content-Length is answered here, since
// the library's own answer to it goes out twice.
std::optional<std::string> screen_head(std::string_view head) {
    const std::size_t line_end = head.find("\r\n");
    const std::string_view request_line = head.substr(0, line_end);
    Headers headers;
    for (std::size_t at = line_end + 2; at < head.size();) {
        const std::size_t end = std::min(head.find("\r\n", at), head.size());
        const std::string_view line = head.substr(at, end - at);
        at = end + 2;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        headers.emplace_back(line.substr(0, colon), value);
    }
    auto refused = screen_content_length(headers);
    if (!refused) return std::nullopt;
    const std::size_t space = request_line.find(' ');
    const std::string_view method = request_line.substr(0, std::min<std::size_t>(space, 20));
    const std::string_view target =
        space == std::string_view::npos ? std::string_view() : request_line.substr(space + 1);
    const std::string_view path = target.substr(0, std::min<std::size_t>(target.find(' '), 200));
    say(std::string(method) + " " + std::string(path) + " -> 400, " + error_of(*refused).substr(0, 200));
    return HeadScreen::reply(refused->status, MHD_get_reason_phrase_for(400), refused->json);
}

// The library's own messages (a connection refused at the limit, a head too long) go to the log.
void library_message(void*, const char* format, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    // The library reports a request the server dropped on purpose as an error of the application; the
    // server's own line has said why. The library logs on the thread of the connection it speaks of.
    if (dropped_on_purpose) {
        dropped_on_purpose = false;
        return;
    }
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
    // The library takes connections only from the head screen, which accepts them.
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL |
                     MHD_USE_ITC | MHD_USE_ERROR_LOG | MHD_USE_NO_LISTEN_SOCKET;
    if (state.listener->ipv6) flags |= MHD_USE_IPv6;
    MHD_Daemon* daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &on_request, &state, MHD_OPTION_EXTERNAL_LOGGER, &library_message,
        nullptr, MHD_OPTION_CONNECTION_LIMIT, library_connection_limit, MHD_OPTION_CONNECTION_TIMEOUT,
        idle_seconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, connection_memory, MHD_OPTION_NOTIFY_COMPLETED,
        &on_completed, &state, MHD_OPTION_NOTIFY_CONNECTION, &on_connection, &state, MHD_OPTION_END);
    if (daemon == nullptr) return false;
    std::optional<HeadScreen> screen;
    try {
        screen.emplace(state.listener->socket, std::chrono::milliseconds(head_milliseconds), state.lingering,
                       &screen_head, [daemon](int socket, const sockaddr* address, socklen_t length) {
                           // On failure the library has closed the socket and logged why.
                           MHD_add_connection(daemon, socket, address, length);
                       });
    } catch (const std::exception& failure) {
        say(std::string("cannot start accepting connections: ") + failure.what());
        MHD_stop_daemon(daemon);
        return false;
    }

    std::unique_lock lock(state.mutex);
    state.changed.wait(lock, [&] { return state.stopping; });
    // No new connections from here on; requests already being handled get their replies.
    lock.unlock();
    screen.reset();
    lock.lock();
    ::close(state.listener->socket);  // new clients are refused, not queued
    state.listener.reset();
    // Uploads end their takes' events themselves; events replies, and requests waiting for a take, are
    // ended once no upload is left, and given a little time to send their end before the library closes
    // their connections.
    state.changed.wait(lock, [&] { return state.in_flight == state.events; });
    lock.unlock();
    state.live_words.stop();
    lock.lock();
    state.changed.wait_for(lock, std::chrono::milliseconds(linger_milliseconds),
                           [&] { return state.in_flight == 0; });
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
