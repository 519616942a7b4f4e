#include "grfs/byte_order.h"

#include <cstring>
#include <utility>

const uint8_t host_byte_order = kHostBigEndian ? 1 : 0;

namespace {

template <typename T>
void Reverse(unsigned char* b) {
    T v;
    std::memcpy(&v, b, sizeof v);
    if constexpr (sizeof v == 2) v = __builtin_bswap16(v);
    if constexpr (sizeof v == 4) v = __builtin_bswap32(v);
    if constexpr (sizeof v == 8) v = __builtin_bswap64(v);
    std::memcpy(b, &v, sizeof v);
}

}  // namespace

void ReverseByteOrder(void* p, int n) {
    auto* b = static_cast<unsigned char*>(p);
    // The field widths of every block: one instruction each, not a loop of
    // byte swaps.
    switch (n) {
    case 2:
        Reverse<uint16_t>(b);
        return;
    case 4:
        Reverse<uint32_t>(b);
        return;
    case 8:
        Reverse<uint64_t>(b);
        return;
    default:
        for (int i = 0; i < n / 2; ++i) std::swap(b[i], b[n - 1 - i]);
    }
}
