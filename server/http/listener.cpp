#include "server/http/listener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace server {

std::variant<Listener, std::string> listen_on(const std::string& host, int port) {
    const std::string where = "cannot listen on " + host + ":" + std::to_string(port) + ": ";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
        return where + (resolved == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(resolved));
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
    std::string reason = "no address to listen on";
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            reason = std::strerror(errno);
            continue;
        }
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (at->ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
        if (::bind(fd, at->ai_addr, at->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            reason = std::strerror(errno);
            ::close(fd);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
        const int bound_port = bound.ss_family == AF_INET6
                                   ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
                                   : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
        return Listener{fd, bound_port, at->ai_family == AF_INET6};
    }
    return where + reason;
}

}  // namespace server
