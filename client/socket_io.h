// TCP over IPv4 for the peer: addresses, connect with a time limit, and
// whole-buffer transfers that never wait past their time limit.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "client/result.h"
#include "util/unique_fd.h"

namespace grfs_client {

// The port the agent's listener tries first.
constexpr uint16_t kDefaultSessionPort = 8192;
// The advertisement port when the services database has no "grfs"/"tcp".
constexpr uint16_t kDefaultAdvertPort = 6101;

struct Endpoint {
    std::string host;
    uint16_t port = 0;

    std::string text() const { return host + ":" + std::to_string(port); }
};

// "HOST", "HOST:PORT" or ":PORT" (empty host). Ports are 1 to 65535.
Result<Endpoint> parse_endpoint(std::string_view text, uint16_t default_port);

// True when host is a dotted IPv4 address rather than a name.
bool is_ipv4_literal(std::string_view host);

// True for an address in 127.0.0.0/8.
bool is_loopback_address(std::string_view host);

// The host's first IPv4 address with the port; "" and "*" mean any address.
Result<sockaddr_in> resolve_ipv4(const std::string& host, uint16_t port);

// The port of the "grfs"/"tcp" service, or 6101.
uint16_t grfs_service_port();

// "a.b.c.d:port".
std::string address_text(const sockaddr_in& address);

// Connects within timeout_ms; unreachable errors name the endpoint.
Result<UniqueFd> connect_tcp(const Endpoint& endpoint, int timeout_ms);

// Time limits: a negative value waits without limit.
Status send_all(int fd, std::span<const unsigned char> bytes, int timeout_ms);

// Reads exactly bytes.size() bytes. A peer that closes first gives
// ErrorKind::closed, silence past the limit ErrorKind::timeout.
// what names the transfer in the error text.
Status recv_exact(int fd, std::span<unsigned char> bytes, int timeout_ms, const char* what);

// Reads until the peer closes, at most max bytes (more is a protocol error).
Result<std::string> recv_until_close(int fd, size_t max, int timeout_ms);

}  // namespace grfs_client
