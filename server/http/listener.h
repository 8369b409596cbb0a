#pragma once

#include <string>
#include <variant>

namespace server {

// A listening TCP socket. The caller owns `socket` (and closes it, or hands it to whoever will).
struct Listener {
    int socket = -1;
    int port = 0;       // the port bound: the one the system picked when 0 was asked for
    bool ipv6 = false;  // the address family, which the HTTP library must be told
};

// Resolves `host` (a name or a numeric address) and listens on the first of its addresses that can be
// bound, with address reuse (so a restarted server binds while old connections linger) but not port
// sharing (so a second server fails with "address in use" instead of sharing the port silently). On
// failure returns "cannot listen on HOST:PORT: " and the resolver's or the system's own reason.
std::variant<Listener, std::string> listen_on(const std::string& host, int port);

}  // namespace server
