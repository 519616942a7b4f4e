// A backup server's side of one connection at the byte level, for tests
// that must see exact bytes or misbehave on purpose: the session-open
// exchange, NRL messages, messages cut short, silence, and connections
// that vanish (reset) instead of closing.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "util/unique_fd.h"

namespace agent_it {

using Bytes = std::vector<unsigned char>;

Bytes MakeBytes(std::initializer_list<int> list);

class RawSession {
public:
    // Connects (receive_buffer > 0 sets a small receive buffer first);
    // invalid() when the connection fails.
    explicit RawSession(const sockaddr_in& address, int receive_buffer = 0);
    // Connects from the given local address (e.g. another 127.0.0.x).
    RawSession(const sockaddr_in& address, const char* source);

    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }

    bool Send(std::span<const unsigned char> bytes);
    // The session-open request: type byte 0 and 512 zero bytes.
    bool SendOpenRequest();
    // Sends the open request and returns the 514-byte reply (fewer bytes
    // when the agent closed first).
    Bytes Open(int timeout_ms = 10000);
    // Status of the open reply, or -1 when it did not arrive whole.
    int OpenStatus(int timeout_ms = 10000);

    // One NRL data message carrying the GRFS bytes.
    bool SendMessage(const Bytes& grfs);
    // The GRFS bytes of the next NRL data message; nothing on silence past
    // timeout_ms or when the agent closes.
    std::optional<Bytes> ReceiveMessage(int timeout_ms = 10000);

    // Exactly n bytes, or nothing (timeout or close).
    std::optional<Bytes> ReadExact(size_t n, int timeout_ms);
    // True when the agent closes the connection within timeout_ms (data
    // arriving before is read and dropped).
    bool WaitForClose(int timeout_ms);
    // True when nothing at all arrives for quiet_ms and the connection stays open.
    bool StaysSilent(int quiet_ms);

    void Close() { fd_.reset(); }
    // Vanishes: the connection is reset rather than closed.
    void Reset();

private:
    UniqueFd fd_;
};

// GRFS request images, built byte by byte (little-endian fields).
Bytes RequestHeader(uint8_t type, uint32_t request_id);
// GRFS_VERIFY_OBJ: size and then data_bytes bytes of data (fewer than
// size makes the request incomplete).
Bytes VerifyRequest(uint32_t request_id, uint16_t size, size_t data_bytes);
Bytes VerifyLargeRequest(uint32_t request_id, uint32_t size, size_t data_bytes);

}  // namespace agent_it
