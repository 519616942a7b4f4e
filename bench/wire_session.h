// A GRFS session at the level of wire bytes, for the timed loops: each
// request is built in place behind the NRL and GRFS headers and goes out
// in one send; each reply is read with as few receives as the kernel
// allows, exactly as the ping-pong client reads its replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

constexpr size_t kNrlHeader = 4;
constexpr size_t kGrfsHeader = 8;

// GRFS request and reply types the benchmark uses.
enum : uint8_t {
    kFindFirstObj = 5,
    kFindNextObj = 6,
    kCreateObj = 8,
    kOpenObj = 9,
    kVerifyObj = 13,
    kCloseObj = 14,
    kReadObjLarge = 25,
    kWriteObjLarge = 26,
};
constexpr int16_t kEndOfData = -500;
constexpr int16_t kNoMoreObjects = -505;
constexpr uint32_t kStreamStandard = 0x4E415453;  // "STAN"
constexpr uint32_t kObjectBuffer = 31744;

struct WireReply {
    uint8_t type = 0;
    int16_t retcode = 0;
    const unsigned char* body = nullptr;
    size_t body_len = 0;
    size_t wire_len = 0;  // NRL header included
};

class WireSession {
public:
    explicit WireSession(int fd);

    // Where to build the body of the next request.
    unsigned char* body() { return out_.data() + kNrlHeader + kGrfsHeader; }

    // Sends a request of type with body_len body bytes from body(), waits for
    // the reply and checks its type and request id. The reply's bytes stay
    // valid until the next call.
    WireReply transact(uint8_t type, size_t body_len);

    size_t last_request_wire() const { return last_request_wire_; }

private:
    int fd_;
    uint32_t next_id_ = 0x1000;
    size_t last_request_wire_ = 0;
    std::vector<unsigned char> out_;
    std::vector<unsigned char> in_;
};

// Request bodies.
size_t build_find_first(unsigned char* body, uint32_t dle_id);
size_t build_dblk_request(unsigned char* body, uint32_t dle_id, const unsigned char* dblk, size_t dblk_len);
size_t build_open(unsigned char* body, uint32_t dle_id, uint16_t mode, const unsigned char* dblk, size_t dblk_len);
size_t build_read_large(unsigned char* body, uint32_t obj_id, uint32_t size, uint64_t offset);
// Header of a large write; the data follows at body + 32.
size_t build_write_large(unsigned char* body, uint32_t obj_id, uint64_t offset, uint32_t stream_id,
                         uint64_t stream_size, uint32_t size);
size_t build_verify(unsigned char* body, uint16_t size);
size_t build_close(unsigned char* body, uint32_t obj_id);

}  // namespace bench
