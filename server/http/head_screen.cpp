#include "server/http/head_screen.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "server/http/connection_watch.h"
#include "server/messages.h"
#include "server/http/signal_free_thread.h"

namespace server {
namespace {

using Clock = std::chrono::steady_clock;

struct Waiting {
    int socket;
    sockaddr_storage address;
    socklen_t length;
    Clock::time_point deadline;
};

// Nothing has been sent on a connection still sending its head, so a short reply fits its send buffer.
void send_once(int socket, const std::string& reply) {
    [[maybe_unused]] const ssize_t sent =
        ::send(socket, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void wait_for_more_than(int socket, std::size_t bytes) {
    const int low_water = static_cast<int>(bytes + 1);
    ::setsockopt(socket, SOL_SOCKET, SO_RCVLOWAT, &low_water, sizeof low_water);
}

}  // namespace

std::string HeadScreen::reply(int status, std::string_view reason, std::string_view body) {
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
           "\r\nConnection: close\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

HeadScreen::HeadScreen(int listening, std::chrono::milliseconds head_time, LingeringClose& closer,
                       Screen screen, HandOver hand_over)
    : listening_(listening),
      head_time_(head_time),
      closer_(closer),
      screen_(std::move(screen)),
      hand_over_(std::move(hand_over)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    ::fcntl(listening_, F_SETFL, ::fcntl(listening_, F_GETFL) | O_NONBLOCK);
    thread_ = start_signal_free_thread([this] { serve(); });
}

HeadScreen::~HeadScreen() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t wrote = ::write(wake_, &one, sizeof one);
    thread_.join();
    ::close(wake_);
}

void HeadScreen::serve() {
    std::vector<Waiting> waiting;
    std::vector<pollfd> watched;
    std::string peeked(longest_screened, '\0');
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(head_time_).count();
    const std::string too_slow =
        reply(408, "Request Timeout",
              nlohmann::json{{"error", "request head not received within " + std::to_string(seconds) + " s"}}
                  .dump());
    const std::string busy = reply(503, "Service Unavailable", R"({"error":"busy"})");
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (closing_) break;
        }
        const auto now = Clock::now();
        auto next = now + std::chrono::hours(1);
        watched.assign({pollfd{wake_, POLLIN, 0}, pollfd{listening_, POLLIN, 0}});
        for (const Waiting& w : waiting) {
            watched.push_back({w.socket, POLLIN | POLLRDHUP, 0});
            next = std::min(next, w.deadline);
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        if (::poll(watched.data(), watched.size(), static_cast<int>(std::max<long long>(wait, 0))) < 0) {
            // Nothing is known to be ready: everything is tried without waiting, at a pace that does not
            // spin while the failure lasts.
            for (pollfd& p : watched) p.revents = POLLIN;
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (watched[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
        }
        const auto after = Clock::now();
        std::vector<Waiting> kept;
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            Waiting w = waiting[i];
            if (watched[i + 2].revents != 0) {
                const ssize_t got = ::recv(w.socket, peeked.data(), peeked.size(), MSG_PEEK | MSG_DONTWAIT);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    closer_.close(w.socket);  // gone before its head was complete: nothing to answer
                    continue;
                }
                if (got > 0) {
                    std::string_view head(peeked.data(), static_cast<std::size_t>(got));
                    const std::size_t end = head.find("\r\n\r\n");
                    if (end != std::string_view::npos || head.size() == longest_screened) {
                        const auto refusal =
                            end != std::string_view::npos ? screen_(head.substr(0, end + 4)) : std::nullopt;
                        if (refusal) {
                            send_once(w.socket, *refusal);
                            closer_.close(w.socket);
                        } else {
                            wait_for_more_than(w.socket, 0);
                            hand_over_(w.socket, reinterpret_cast<const sockaddr*>(&w.address), w.length);
                        }
                        continue;
                    }
                    // A client that has stopped sending can no longer finish its head.
                    if ((watched[i + 2].revents & POLLRDHUP) != 0) {
                        closer_.close(w.socket);
                        continue;
                    }
                    wait_for_more_than(w.socket, head.size());
                }
            }
            if (after >= w.deadline) {
                send_once(w.socket, too_slow);
                say("408 to " + peer_address(w.socket) + ": request head not received within " +
                    std::to_string(seconds) + " s");
                closer_.close(w.socket);
                continue;
            }
            kept.push_back(w);
        }
        waiting.swap(kept);
        while (watched[1].revents != 0) {
            Waiting w{-1, {}, sizeof(sockaddr_storage), after + head_time_};
            w.socket =
                ::accept4(listening_, reinterpret_cast<sockaddr*>(&w.address), &w.length, SOCK_CLOEXEC);
            if (w.socket < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                // Out of descriptors: the connections waiting stay queued until some are closed.
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                break;
            }
            if (waiting.size() >= most_waiting) {
                send_once(w.socket, busy);
                closer_.close(w.socket);
                continue;
            }
            waiting.push_back(w);
        }
    }
    for (const Waiting& w : waiting) ::close(w.socket);
}

}  // namespace server
