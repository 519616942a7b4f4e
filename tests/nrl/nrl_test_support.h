// Helpers shared by the NRL tests: loopback sockets and address records.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "nrl/tli.h"

namespace nrltest {

inline sockaddr_in Loopback(const char* dotted, uint16_t port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &sin.sin_addr);
    return sin;
}

inline uint16_t PortOf(const unsigned char* addr) {
    sockaddr_in sin{};
    std::memcpy(&sin, addr, sizeof sin);
    return ntohs(sin.sin_port);
}

inline uint16_t LocalPort(int fd) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    return ntohs(sin.sin_port);
}

// A plain client connection to dotted:port, or -1.
inline int ConnectTo(const char* dotted, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin = Loopback(dotted, port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A listening socket on dotted:port (SO_REUSEADDR), or -1.
inline int ListenOn(const char* dotted, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin = Loopback(dotted, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool Readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

// Everything the peer sends until it closes (or timeout_ms passes without data).
inline std::vector<unsigned char> ReadAll(int fd, int timeout_ms = 5000) {
    std::vector<unsigned char> out;
    unsigned char buf[4096];
    while (Readable(fd, timeout_ms)) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

inline std::vector<unsigned char> Bytes(std::initializer_list<int> list) {
    std::vector<unsigned char> v;
    for (int b : list) v.push_back(static_cast<unsigned char>(b));
    return v;
}

// Advertisement port: the services database entry of "grfs"/"tcp", else 6101.
inline uint16_t AdvertisementPort() {
    uint16_t port = LookupServicePort("grfs");
    return port != 0 ? ntohs(port) : kDefaultAdvertisementPort;
}

}  // namespace nrltest
