#include "client/socket_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace grfs_client {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left before the deadline; -1 when there is none.
int remaining_ms(bool limited, Clock::time_point deadline) {
    if (!limited) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for events on fd; 1 ready, 0 timed out, -1 failed (errno set).
int wait_for(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    for (;;) {
        int n = ::poll(&p, 1, timeout_ms);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

std::string errno_text(int err) { return std::strerror(err); }

}  // namespace

bool is_ipv4_literal(std::string_view host) {
    in_addr a{};
    return inet_pton(AF_INET, std::string(host).c_str(), &a) == 1;
}

bool is_loopback_address(std::string_view host) {
    in_addr a{};
    return inet_pton(AF_INET, std::string(host).c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

Result<Endpoint> parse_endpoint(std::string_view text, uint16_t default_port) {
    Endpoint e;
    e.port = default_port;
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        e.host = std::string(text);
    } else {
        e.host = std::string(text.substr(0, colon));
        std::string_view port = text.substr(colon + 1);
        unsigned long value = 0;
        if (port.empty() || port.size() > 5) return make_error(ErrorKind::usage, "bad port in '" + std::string(text) + "'");
        for (char c : port) {
            if (c < '0' || c > '9') return make_error(ErrorKind::usage, "bad port in '" + std::string(text) + "'");
            value = value * 10 + static_cast<unsigned long>(c - '0');
        }
        if (value == 0 || value > 65535) return make_error(ErrorKind::usage, "bad port in '" + std::string(text) + "'");
        e.port = static_cast<uint16_t>(value);
    }
    return e;
}

Result<sockaddr_in> resolve_ipv4(const std::string& host, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (host.empty() || host == "*") {
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        return a;
    }
    if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) == 1) return a;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        return make_error(ErrorKind::unreachable, "cannot resolve host '" + host + "': " + gai_strerror(rc));
    }
    a.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return a;
}

uint16_t grfs_service_port() {
    servent* s = getservbyname("grfs", "tcp");
    return s != nullptr ? ntohs(static_cast<uint16_t>(s->s_port)) : kDefaultAdvertPort;
}

std::string address_text(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

Result<UniqueFd> connect_tcp(const Endpoint& endpoint, int timeout_ms) {
    auto address = resolve_ipv4(endpoint.host, endpoint.port);
    if (!address.ok()) return address.error();
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return make_error(ErrorKind::io, "socket: " + errno_text(errno));
    const std::string where = "cannot connect to " + endpoint.text() + ": ";
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(sockaddr_in)) != 0) {
        if (errno != EINPROGRESS) return make_error(ErrorKind::unreachable, where + errno_text(errno));
        int ready = wait_for(fd.get(), POLLOUT, timeout_ms);
        if (ready == 0) return make_error(ErrorKind::unreachable, where + "no answer within " + std::to_string(timeout_ms / 1000) + " s");
        if (ready < 0) return make_error(ErrorKind::unreachable, where + errno_text(errno));
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) return make_error(ErrorKind::unreachable, where + errno_text(err));
    }
    // Transfers wait with poll; the descriptor stays non-blocking.
    int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

Status send_all(int fd, std::span<const unsigned char> bytes, int timeout_ms) {
    const bool limited = timeout_ms >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeout_ms : 0);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ready = wait_for(fd, POLLOUT, remaining_ms(limited, deadline));
            if (ready == 0) return make_error(ErrorKind::timeout, "sending timed out");
            if (ready < 0) return make_error(ErrorKind::io, "poll: " + errno_text(errno));
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET))
            return make_error(ErrorKind::closed, "connection closed by the peer while sending");
        return make_error(ErrorKind::io, "send: " + errno_text(errno));
    }
    return {};
}

Status recv_exact(int fd, std::span<unsigned char> bytes, int timeout_ms, const char* what) {
    const bool limited = timeout_ms >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeout_ms : 0);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::recv(fd, bytes.data() + done, bytes.size() - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            return make_error(ErrorKind::closed, std::string("connection closed by the peer during ") + what + " after " +
                                                     std::to_string(done) + " of " + std::to_string(bytes.size()) + " bytes");
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int ready = wait_for(fd, POLLIN, remaining_ms(limited, deadline));
            if (ready == 0)
                return make_error(ErrorKind::timeout, std::string("no answer within ") + std::to_string(timeout_ms / 1000) +
                                                          " s during " + what);
            if (ready < 0) return make_error(ErrorKind::io, "poll: " + errno_text(errno));
            continue;
        }
        return make_error(ErrorKind::io, "recv: " + errno_text(errno));
    }
    return {};
}

Result<std::string> recv_until_close(int fd, size_t max, int timeout_ms) {
    const bool limited = timeout_ms >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeout_ms : 0);
    std::string out;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            out.append(chunk, static_cast<size_t>(n));
            if (out.size() > max) return make_error(ErrorKind::protocol, "message longer than " + std::to_string(max) + " bytes");
            continue;
        }
        if (n == 0 || errno == ECONNRESET) return out;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int ready = wait_for(fd, POLLIN, remaining_ms(limited, deadline));
            if (ready == 0) return make_error(ErrorKind::timeout, "the sender did not close the connection in time");
            if (ready < 0) return make_error(ErrorKind::io, "poll: " + errno_text(errno));
            continue;
        }
        return make_error(ErrorKind::io, "recv: " + errno_text(errno));
    }
}

}  // namespace grfs_client
