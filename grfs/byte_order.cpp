#include "grfs/byte_order.h"

#include <utility>

const uint8_t host_byte_order = kHostBigEndian ? 1 : 0;

void ReverseByteOrder(void* p, int n) {
    auto* b = static_cast<unsigned char*>(p);
    for (int i = 0; i < n / 2; ++i) std::swap(b[i], b[n - 1 - i]);
}
