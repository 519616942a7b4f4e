// The advertisement message, byte for byte.
#include <cstring>

#include "nrl/advertise.h"
#include "nrl/nrl_session.h"

namespace {
size_t text_len(const char* s) { return s != nullptr ? std::strlen(s) : 0; }

unsigned char* put_text(unsigned char* p, const char* s) {
    size_t n = text_len(s);
    if (n != 0) std::memcpy(p, s, n);
    p[n] = 0;
    return p + n + 1;
}
}  // namespace

size_t AdvertisementLength(const char* name, const char* uaddr, const char* host) {
    return kAdvHeaderSize + text_len(name) + 2 * text_len(uaddr) + text_len(host) + 4;
}

size_t BuildAdvertisement(std::span<unsigned char> out, const char* name, uint16_t type, const char* uaddr,
                          const char* host) {
    const size_t total = AdvertisementLength(name, uaddr, host);
    const size_t size = total - kAdvHeaderSize;
    if (out.size() < total || size > 0xFFFF) return 0;
    unsigned char* p = out.data();
    p[0] = NRL_ADVERTISE;
    p[1] = 0;
    p[2] = static_cast<unsigned char>(size & 0xFF);
    p[3] = static_cast<unsigned char>(size >> 8);
    p[4] = static_cast<unsigned char>(type & 0xFF);
    p[5] = static_cast<unsigned char>(type >> 8);
    p += kAdvHeaderSize;
    p = put_text(p, name);
    p = put_text(p, uaddr);
    p = put_text(p, uaddr);
    put_text(p, host);
    return total;
}
