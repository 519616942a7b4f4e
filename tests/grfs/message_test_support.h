// Helpers for the message tests: wire images written byte by byte without the
// coder, heap message records, and one-call encoding and decoding.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "grfs/messages.h"
#include "xdr_trace_capture.h"

namespace msg_test {

using Bytes = std::vector<unsigned char>;

// Appends little-endian values, as a peer writes them.
class Wire {
  public:
    Wire& u8(unsigned v) {
        b_.push_back(static_cast<unsigned char>(v));
        return *this;
    }
    Wire& u16(unsigned v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
    Wire& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Wire& u64(uint32_t lsw, uint32_t msw) { return u32(lsw).u32(msw); }
    Wire& hdr(unsigned type, int retcode, uint32_t request_id) {
        return u8(type).u8(0).u16(static_cast<uint16_t>(retcode)).u32(request_id);
    }
    // A text in a field of exactly `width` bytes, zero-padded.
    Wire& field(const std::string& s, size_t width) {
        for (size_t i = 0; i < width; ++i) u8(i < s.size() ? static_cast<unsigned char>(s[i]) : 0);
        return *this;
    }
    Wire& raw(const Bytes& bytes) {
        b_.insert(b_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Wire& raw(const std::string& s) {
        b_.insert(b_.end(), s.begin(), s.end());
        return *this;
    }
    Wire& zeros(size_t n) {
        b_.insert(b_.end(), n, 0);
        return *this;
    }
    Wire& stream(uint32_t id, unsigned attrib, unsigned reserved, uint32_t lsw, uint32_t msw) {
        return u32(id).u16(attrib).u16(reserved).u64(lsw, msw);
    }
    Wire& date(const DATE_TIME& d) {
        return u16(d.date_valid).u16(d.year).u16(d.month).u16(d.day).u16(d.hour).u16(d.minute).u16(d.second).u16(
            d.day_of_week);
    }
    const Bytes& bytes() const { return b_; }
    size_t size() const { return b_.size(); }

  private:
    Bytes b_;
};

// A zero-filled message record on the heap (it is tens of kilobytes, and the
// sanitizer sees any access past its end).
inline std::unique_ptr<GRFS_MESSAGE> new_message() { return std::make_unique<GRFS_MESSAGE>(); }

inline std::unique_ptr<GRFS_MESSAGE> copy_message(const GRFS_MESSAGE& m) {
    auto c = new_message();
    std::memcpy(c.get(), &m, sizeof m);
    return c;
}

struct Encoded {
    Bytes bytes;  // the bytes coded (cursor)
    int length = 0;
    GrfsCodeStatus status = GRFS_CODE_COMPLETE;
};

// Encodes msg into a buffer of `limit` bytes; the trace is silenced.
inline Encoded encode(GRFS_MESSAGE& msg, int stated_size, int limit = GRFS_MAX_MSG_SIZE + 100) {
    Bytes buf(static_cast<size_t>(limit));
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&xdr, buf.data(), limit);
    Encoded e;
    {
        TraceCapture quiet(0);
        e.length = grfs_xdr_message(&xdr, &msg, stated_size, &e.status);
    }
    buf.resize(static_cast<size_t>(grfs_get_xdr_length(&xdr)));
    e.bytes = buf;
    return e;
}

struct Decoded {
    std::unique_ptr<GRFS_MESSAGE> msg = new_message();
    GrfsCodeStatus status = GRFS_CODE_COMPLETE;
    int length = 0;
};

// Decodes the first n bytes of wire from a heap buffer of exactly n bytes.
inline Decoded decode(const Bytes& wire, size_t n) {
    std::unique_ptr<unsigned char[]> in(new unsigned char[n == 0 ? 1 : n]);
    if (n > 0) std::memcpy(in.get(), wire.data(), n);
    Decoded d;
    TraceCapture quiet(0);
    d.status = grfs_decode_request(std::span<const unsigned char>(in.get(), n), d.msg.get(), &d.length);
    return d;
}

inline Decoded decode(const Bytes& wire) { return decode(wire, wire.size()); }

inline std::string hex(const Bytes& b) {
    std::string s;
    char t[4];
    for (unsigned char c : b) {
        std::snprintf(t, sizeof t, "%02X ", c);
        s += t;
    }
    return s;
}

// The credentials as a server scrambles them: the password with the byte
// sum of the plain name, then the name with the byte sum of the scrambled
// password.
inline void scramble_credentials(char* name, char* password, int length) {
    auto sum = [length](const char* p) {
        uint16_t s = 0;
        for (int i = 0; i < length; ++i) s = static_cast<uint16_t>(s + static_cast<unsigned char>(p[i]));
        return s;
    };
    auto apply = [length](char* p, uint16_t key) {
        for (int i = 0; i + 1 < length; i += 2) {
            p[i] = static_cast<char>(p[i] ^ (key & 0xFF));
            p[i + 1] = static_cast<char>(p[i + 1] ^ (key >> 8));
        }
    };
    apply(password, sum(name));
    apply(name, sum(password));
}

}  // namespace msg_test
