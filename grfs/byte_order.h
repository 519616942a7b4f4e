// Host byte order and the conversions between host order and the two wire
// orders: little-endian for every GRFS number, big-endian for the Unix
// OS-specific information inside a DBLK. The only place that knows the host.
#pragma once

#include <bit>
#include <cstdint>

// True when the host keeps numbers big-endian (SPARC); fixed at build time.
inline constexpr bool kHostBigEndian = std::endian::native == std::endian::big;

// The process-wide host byte-order flag: 0 little-endian host, 1 big-endian.
extern const uint8_t host_byte_order;

constexpr uint16_t swap_bytes16(uint16_t w) { return static_cast<uint16_t>((w << 8) | (w >> 8)); }
constexpr uint32_t swap_bytes32(uint32_t l) {
    return (l << 24) | ((l << 8) & 0x00FF0000u) | ((l >> 8) & 0x0000FF00u) | (l >> 24);
}

// Host order <-> little-endian (wire) order; either direction.
constexpr uint16_t IntelSwapWord(uint16_t w) { return kHostBigEndian ? swap_bytes16(w) : w; }
constexpr uint32_t IntelSwapLong(uint32_t l) { return kHostBigEndian ? swap_bytes32(l) : l; }

// Host order <-> big-endian order; either direction.
constexpr uint16_t NonIntelSwapWord(uint16_t w) { return kHostBigEndian ? w : swap_bytes16(w); }

// Reverses the n bytes at p in place; n of 1 or less changes nothing.
void ReverseByteOrder(void* p, int n);
