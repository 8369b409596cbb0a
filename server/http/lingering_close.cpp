#include "server/http/lingering_close.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <cstring>

#include "server/http/signal_free_thread.h"

namespace server {

using Clock = std::chrono::steady_clock;

LingeringClose::LingeringClose(std::chrono::milliseconds longest, std::size_t most_bytes, Poll wait)
    : longest_(longest),
      most_bytes_(most_bytes),
      wait_(wait),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    thread_ = start_signal_free_thread([this] { serve(); });
}

LingeringClose::~LingeringClose() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t wrote = ::write(wake_, &one, sizeof one);
    thread_.join();
    for (const Lingering& l : handed_) ::close(l.socket);
    ::close(wake_);
}

void LingeringClose::close(int socket) {
    ::shutdown(socket, SHUT_WR);
    {
        std::lock_guard lock(mutex_);
        handed_.push_back({socket, Clock::now() + longest_, most_bytes_});
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t wrote = ::write(wake_, &one, sizeof one);
}

void LingeringClose::serve() {
    std::vector<Lingering> lingering;
    std::vector<pollfd> watched;
    std::array<char, 64 * 1024> scratch{};
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (closing_) {
                handed_.insert(handed_.end(), lingering.begin(), lingering.end());
                return;
            }
            lingering.insert(lingering.end(), handed_.begin(), handed_.end());
            handed_.clear();
        }
        const auto now = Clock::now();
        auto next = now + std::chrono::hours(1);
        watched.assign(1, pollfd{wake_, POLLIN, 0});
        for (const Lingering& l : lingering) {
            watched.push_back({l.socket, POLLIN, 0});
            next = std::min(next, l.until);
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        const int ready =
            wait_(watched.data(), watched.size(), static_cast<int>(std::max<long long>(wait, 0)));
        if (ready < 0) {
            // Nothing is known to be readable: every socket is tried, and the loop paced so that it does
            // not spin while the failure lasts.
            for (pollfd& p : watched) p.revents = POLLIN;
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (watched[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
        }
        const auto after = Clock::now();
        std::vector<Lingering> kept;
        for (std::size_t i = 0; i < lingering.size(); ++i) {
            Lingering l = lingering[i];
            bool done = after >= l.until;
            if (!done && watched[i + 1].revents != 0) {
                const ssize_t got =
                    ::recv(l.socket, scratch.data(), std::min(scratch.size(), l.left), MSG_DONTWAIT);
                if (got > 0) l.left -= static_cast<std::size_t>(got);
                done = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR) || l.left == 0;
            }
            if (done) {
                ::close(l.socket);
            } else {
                kept.push_back(l);
            }
        }
        lingering.swap(kept);
    }
}

}  // namespace server
