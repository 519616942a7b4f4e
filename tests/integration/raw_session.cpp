#include "raw_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace agent_it {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

void put16(Bytes& v, uint16_t x) {
    v.push_back(static_cast<unsigned char>(x));
    v.push_back(static_cast<unsigned char>(x >> 8));
}

void put32(Bytes& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<unsigned char>(x >> (8 * i)));
}

}  // namespace

Bytes MakeBytes(std::initializer_list<int> list) {
    Bytes v;
    for (int b : list) v.push_back(static_cast<unsigned char>(b));
    return v;
}

RawSession::RawSession(const sockaddr_in& address, int receive_buffer) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receive_buffer > 0) setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) fd_ = std::move(fd);
}

RawSession::RawSession(const sockaddr_in& address, const char* source) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, source, &local.sin_addr) != 1) return;
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return;
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) fd_ = std::move(fd);
}

bool RawSession::Send(std::span<const unsigned char> bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool RawSession::SendOpenRequest() {
    Bytes request(513, 0);
    return Send(request);
}

Bytes RawSession::Open(int timeout_ms) {
    if (!SendOpenRequest()) return {};
    Bytes reply;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    unsigned char buf[514];
    while (reply.size() < 514) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) != 1) break;
        ssize_t n = recv(fd_.get(), buf, 514 - reply.size(), 0);
        if (n <= 0) break;
        reply.insert(reply.end(), buf, buf + n);
    }
    return reply;
}

int RawSession::OpenStatus(int timeout_ms) {
    Bytes reply = Open(timeout_ms);
    if (reply.size() != 514) return -1;
    return reply[0] | (reply[1] << 8);
}

bool RawSession::SendMessage(const Bytes& grfs) {
    Bytes wire{0, 0, static_cast<unsigned char>(grfs.size() & 0xFF), static_cast<unsigned char>(grfs.size() >> 8)};
    wire.insert(wire.end(), grfs.begin(), grfs.end());
    return Send(wire);
}

std::optional<Bytes> RawSession::ReadExact(size_t n, int timeout_ms) {
    Bytes out(n);
    size_t got = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got < n) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) != 1) return std::nullopt;
        ssize_t r = recv(fd_.get(), out.data() + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        got += static_cast<size_t>(r);
    }
    return out;
}

std::optional<Bytes> RawSession::ReceiveMessage(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto header = ReadExact(4, remaining_ms(deadline));
        if (!header) return std::nullopt;
        size_t size = (*header)[2] | (static_cast<size_t>((*header)[3]) << 8);
        if ((*header)[0] != 0) {
            if ((*header)[0] == 1) return std::nullopt;  // the agent ended the session
            continue;
        }
        return size == 0 ? Bytes{} : ReadExact(size, remaining_ms(deadline));
    }
}

bool RawSession::WaitForClose(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    unsigned char buf[4096];
    for (;;) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) != 1) return false;
        ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
    }
}

bool RawSession::StaysSilent(int quiet_ms) {
    pollfd p{fd_.get(), POLLIN, 0};
    return poll(&p, 1, quiet_ms) == 0;
}

void RawSession::Reset() {
    linger lg{1, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    fd_.reset();
}

Bytes RequestHeader(uint8_t type, uint32_t request_id) {
    Bytes v{type, 0, 0, 0};
    put32(v, request_id);
    return v;
}

Bytes VerifyRequest(uint32_t request_id, uint16_t size, size_t data_bytes) {
    Bytes v = RequestHeader(13, request_id);
    put32(v, 0);               // obj_id
    put32(v, 0);               // offset
    v.insert(v.end(), 16, 0);  // stream header
    put16(v, size);
    v.insert(v.end(), data_bytes, 0x5A);
    return v;
}

Bytes VerifyLargeRequest(uint32_t request_id, uint32_t size, size_t data_bytes) {
    Bytes v = RequestHeader(28, request_id);
    put32(v, 0);  // obj_id
    put32(v, 0);  // offset, low half
    put32(v, 0);  // offset, high half
    v.insert(v.end(), 16, 0);
    put32(v, size);
    v.insert(v.end(), data_bytes, 0xA5);
    return v;
}

}  // namespace agent_it
