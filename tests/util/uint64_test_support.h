// Conversions between UINT64 and native 64-bit values, and a value source
// that mixes edge values with random ones of every length.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "util/uint64.h"

inline uint64_t native(UINT64 x) { return (static_cast<uint64_t>(x.msw) << 32) | x.lsw; }
inline UINT64 pair(uint64_t v) { return U64_Init(static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)); }

// Values at the 16- and 32-bit digit boundaries, where carries, borrows and
// normalisation go wrong first.
inline std::vector<uint64_t> edge_values() {
    std::vector<uint64_t> v = {0, 1, 2, 3, 7, 10};
    for (int bit : {15, 16, 31, 32, 33, 47, 48, 63}) {
        uint64_t p = uint64_t{1} << bit;
        v.push_back(p - 1);
        v.push_back(p);
        v.push_back(p + 1);
    }
    for (uint64_t x : {0xFFFFFFFFFFFFFFFFULL, 0xFFFFFFFFFFFFFFFEULL, 0x8000000000000001ULL, 0x00000000FFFF0000ULL,
                       0xFFFF0000FFFF0000ULL, 0x0000FFFF0000FFFFULL, 0x7FFF800000000000ULL, 0x0000800000000003ULL,
                       0x0000200000000001ULL, 0x0000800000000001ULL, 0x8000FFFE00000000ULL, 0x00008000FFFFULL,
                       10000000000ULL, 10000000000000000000ULL, 1234567890123456789ULL})
        v.push_back(x);
    return v;
}

// Random values whose bit length is itself random, so that every digit
// count of divisor and dividend is well represented.
class ValueSource {
public:
    explicit ValueSource(uint64_t seed) : rng_(seed) {}
    uint64_t next() {
        uint64_t v = rng_();
        int bits = static_cast<int>(rng_() % 65);
        if (bits == 0) return 0;
        if (bits < 64) v &= (uint64_t{1} << bits) - 1;
        // Now and then long runs of ones or zeros in the digits.
        switch (rng_() % 8) {
            case 0: v |= 0xFFFF0000ULL; break;
            case 1: v &= ~0xFFFF0000ULL; break;
            default: break;
        }
        return v;
    }

private:
    std::mt19937_64 rng_;
};
