#include "util/uint64.h"

UINT64 U64_Init(uint32_t lsw, uint32_t msw) { return UINT64{lsw, msw}; }

UINT64 U32_To_U64(uint32_t v) { return UINT64{v, 0}; }

int U64_To_32Bit(UINT64 x, uint32_t* lsw, uint32_t* msw) {
    if (lsw != nullptr) *lsw = x.lsw;
    if (msw != nullptr) *msw = x.msw;
    return 1;
}

off_t UINT64_To_offt(UINT64 x) {
    return static_cast<off_t>(AsU64(x));
}

UINT64 U64_Add(UINT64 a, UINT64 b, uint16_t* status) {
    UINT64 r;
    r.lsw = a.lsw + b.lsw;
    uint32_t carry = (r.lsw < a.lsw || r.lsw < b.lsw) ? 1U : 0U;
    uint32_t high = a.msw + b.msw;
    bool overflow = high < a.msw;
    r.msw = high + carry;
    if (r.msw < high) overflow = true;
    if (status != nullptr) *status = overflow ? U64_STATUS_OUT_OF_RANGE : U64_STATUS_EXACT;
    return r;
}

// A smaller minuend gives status 0; the result is then 0 when the high words
// already decide it, else the low difference alone.
UINT64 U64_Sub(UINT64 a, UINT64 b, uint16_t* status) {
    uint16_t st = U64_STATUS_EXACT;
    UINT64 r{0, 0};
    if (a.msw < b.msw) {
        st = U64_STATUS_OUT_OF_RANGE;
    } else {
        r.msw = a.msw - b.msw;
        r.lsw = a.lsw - b.lsw;
        if (a.lsw < b.lsw) {
            if (r.msw != 0) {
                r.msw -= 1;
            } else {
                st = U64_STATUS_OUT_OF_RANGE;
            }
        }
    }
    if (status != nullptr) *status = st;
    return r;
}

UINT64 U64_Mult(UINT64 a, UINT64 b) {
    uint32_t x[4] = {a.lsw & 0xFFFFU, a.lsw >> 16, a.msw & 0xFFFFU, a.msw >> 16};
    uint32_t y[4] = {b.lsw & 0xFFFFU, b.lsw >> 16, b.msw & 0xFFFFU, b.msw >> 16};
    uint32_t p[8] = {};
    for (int i = 0; i < 4; ++i) {
        uint32_t carry = 0;
        for (int j = 0; j < 4; ++j) {
            // 65535 * 65535 + 65535 + 65535 still fits in 32 bits.
            uint32_t t = x[i] * y[j] + p[i + j] + carry;
            p[i + j] = t & 0xFFFFU;
            carry = t >> 16;
        }
        p[i + 4] = carry;
    }
    return UINT64{p[0] | (p[1] << 16), p[2] | (p[3] << 16)};
}

uint32_t U64_Test(UINT64 a, UINT64 b) { return (a.lsw & b.lsw) | (a.msw & b.msw); }

uint32_t U64_Stest(UINT64 a, const char* text) {
    uint16_t status = 0;
    return U64_Test(a, U64_Atoli(text, &status));
}

UINT64 U64_Btop(UINT64 a, UINT64 b, uint32_t op, int n) {
    switch (op) {
        case 0: return UINT64{a.lsw & ~b.lsw, a.msw & ~b.msw};
        case 1:
        case 3: return UINT64{a.lsw | b.lsw, a.msw | b.msw};
        case 2: return UINT64{a.lsw ^ b.lsw, a.msw ^ b.msw};
        case 4: return UINT64{a.lsw & b.lsw, a.msw & b.msw};
        case 5: return UINT64{~a.lsw, ~a.msw};
        case 6:
        case 7: {
            if (n < 1 || n > 63) return a;
            uint64_t v = AsU64(a);
            v = op == 6 ? v << n : v >> n;
            return ToU64(v);
        }
        default: return a;
    }
}
