#include "bench/wire_session.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "bench/bench_util.h"

namespace bench {

namespace {

constexpr size_t kMaxWire = 65535 + 16;

uint8_t reply_type_of(uint8_t request) {
    return request == kFindFirstObj || request == kFindNextObj ? 69 : static_cast<uint8_t>(request + 64);
}

}  // namespace

WireSession::WireSession(int fd) : fd_(fd), out_(kMaxWire, 0), in_(kMaxWire, 0) {}

WireReply WireSession::transact(uint8_t type, size_t body_len) {
    const size_t total = kGrfsHeader + body_len;
    if (total > 65535) die("request too long");
    const uint32_t id = next_id_++;
    unsigned char* p = out_.data();
    p[0] = 0;  // NRL data message
    p[1] = 0;
    put16(p + 2, static_cast<uint16_t>(total));
    p[4] = type;
    p[5] = 0;
    put16(p + 6, 0);
    put32(p + 8, id);
    last_request_wire_ = kNrlHeader + total;
    if (!send_all(fd_, p, last_request_wire_)) die("the agent closed the session while a request was sent");

    size_t have = 0;
    size_t want = kNrlHeader;
    while (have < want) {
        ssize_t k = recv(fd_, in_.data() + have, in_.size() - have, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) die("the agent closed the session while a reply was awaited");
        have += static_cast<size_t>(k);
        if (have >= kNrlHeader) {
            if (in_[0] != 0) die("the agent sent NRL message type " + std::to_string(in_[0]));
            want = kNrlHeader + get16(in_.data() + 2);
        }
    }
    // One request in flight: nothing may follow the reply.
    if (have != want) die("the agent sent more than one reply");
    const unsigned char* g = in_.data() + kNrlHeader;
    if (want < kNrlHeader + kGrfsHeader) die("reply shorter than a GRFS header");
    WireReply r;
    r.type = g[0];
    r.retcode = static_cast<int16_t>(get16(g + 2));
    if (r.type != reply_type_of(type) || get32(g + 4) != id) {
        die("unexpected reply type " + std::to_string(r.type) + " to request type " + std::to_string(type));
    }
    r.body = g + kGrfsHeader;
    r.body_len = want - kNrlHeader - kGrfsHeader;
    r.wire_len = want;
    return r;
}

size_t build_find_first(unsigned char* body, uint32_t dle_id) {
    put32(body, dle_id);
    put16(body + 4, 0);  // every kind of object
    body[6] = '*';
    body[7] = 0;
    // The stated body length is the string bytes plus 8.
    body[8] = 0;
    body[9] = 0;
    return 10;
}

size_t build_dblk_request(unsigned char* body, uint32_t dle_id, const unsigned char* dblk, size_t dblk_len) {
    put32(body, dle_id);
    std::memcpy(body + 4, dblk, dblk_len);
    return 4 + dblk_len;
}

size_t build_open(unsigned char* body, uint32_t dle_id, uint16_t mode, const unsigned char* dblk, size_t dblk_len) {
    put32(body, dle_id);
    put16(body + 4, mode);
    body[6] = 0;
    body[7] = 0;
    std::memcpy(body + 8, dblk, dblk_len);
    return 8 + dblk_len;
}

size_t build_read_large(unsigned char* body, uint32_t obj_id, uint32_t size, uint64_t offset) {
    put32(body, obj_id);
    put32(body + 4, size);
    put64(body + 8, offset);
    return 16;
}

size_t build_write_large(unsigned char* body, uint32_t obj_id, uint64_t offset, uint32_t stream_id,
                         uint64_t stream_size, uint32_t size) {
    put32(body, obj_id);
    put64(body + 4, offset);
    put32(body + 12, stream_id);
    put16(body + 16, 0);
    put16(body + 18, 0);
    put64(body + 20, stream_size);
    put32(body + 28, size);
    return 32 + size;
}

size_t build_verify(unsigned char* body, uint16_t size) {
    std::memset(body, 0, 28);
    put16(body + 24, size);
    // The stated body length is the data length plus 28 (26 coded).
    return 28;
}

size_t build_close(unsigned char* body, uint32_t obj_id) {
    put32(body, obj_id);
    return 4;
}

}  // namespace bench
