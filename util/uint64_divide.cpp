// Long division of 64-bit values on 16-bit digits (Knuth, Algorithm D).
#include "util/uint64.h"

namespace {

constexpr uint32_t kBase = 0x10000;
constexpr int kDividendDigits = 8;  // the dividend widened, upper four zero
constexpr int kDivisorDigits = 4;

int leading_zero_bits16(uint32_t digit) {
    int n = 0;
    while ((digit & 0x8000U) == 0) {
        digit <<= 1;
        ++n;
    }
    return n;
}

UINT64 from_digits(const uint32_t* d) {
    return UINT64{(d[0] & 0xFFFFU) | ((d[1] & 0xFFFFU) << 16), (d[2] & 0xFFFFU) | ((d[3] & 0xFFFFU) << 16)};
}

// Returns false for a zero divisor.
bool divide(UINT64 a, UINT64 b, UINT64* quotient, UINT64* remainder) {
    uint32_t u[kDividendDigits] = {a.lsw & 0xFFFFU, a.lsw >> 16, a.msw & 0xFFFFU, a.msw >> 16, 0, 0, 0, 0};
    uint32_t v[kDivisorDigits] = {b.lsw & 0xFFFFU, b.lsw >> 16, b.msw & 0xFFFFU, b.msw >> 16};
    uint32_t q[kDividendDigits] = {};
    uint32_t r[kDivisorDigits] = {};

    int n = kDivisorDigits;
    while (n > 0 && v[n - 1] == 0) --n;  // the stripped places stay zero in r
    if (n == 0) {
        *quotient = UINT64{0, 0};
        *remainder = UINT64{0, 0};
        return false;
    }

    if (n == 1) {
        uint32_t rem = 0;
        for (int j = kDividendDigits - 1; j >= 0; --j) {
            uint32_t num = rem * kBase + u[j];
            q[j] = num / v[0];
            rem = num % v[0];
        }
        r[0] = rem;
        *quotient = from_digits(q);
        *remainder = from_digits(r);
        return true;
    }

    const int m = kDividendDigits;
    const int s = leading_zero_bits16(v[n - 1]);
    uint32_t vn[kDivisorDigits] = {};
    for (int i = n - 1; i > 0; --i) vn[i] = ((v[i] << s) | (v[i - 1] >> (16 - s))) & 0xFFFFU;
    vn[0] = (v[0] << s) & 0xFFFFU;
    uint32_t un[kDividendDigits + 1] = {};
    un[m] = u[m - 1] >> (16 - s);
    for (int i = m - 1; i > 0; --i) un[i] = ((u[i] << s) | (u[i - 1] >> (16 - s))) & 0xFFFFU;
    un[0] = (u[0] << s) & 0xFFFFU;

    for (int j = m - n; j >= 0; --j) {
        uint32_t num = un[j + n] * kBase + un[j + n - 1];
        uint32_t qhat;
        uint32_t rhat;
        if (un[j + n] == vn[n - 1]) {
            qhat = kBase - 1;
            rhat = num - qhat * vn[n - 1];
        } else {
            qhat = num / vn[n - 1];
            rhat = num % vn[n - 1];
        }
        while (rhat < kBase && static_cast<uint64_t>(qhat) * vn[n - 2] > static_cast<uint64_t>(rhat) * kBase + un[j + n - 2]) {
            --qhat;
            rhat += vn[n - 1];
        }

        int64_t borrow = 0;
        for (int i = 0; i < n; ++i) {
            uint32_t p = qhat * vn[i];
            int64_t t = static_cast<int64_t>(un[i + j]) - borrow - (p & 0xFFFFU);
            un[i + j] = static_cast<uint32_t>(t) & 0xFFFFU;
            borrow = static_cast<int64_t>(p >> 16) - (t >> 16);
        }
        int64_t t = static_cast<int64_t>(un[j + n]) - borrow;
        un[j + n] = static_cast<uint32_t>(t) & 0xFFFFU;

        if (t < 0) {
            // The estimate was one too large: add the divisor back.
            --qhat;
            uint32_t carry = 0;
            for (int i = 0; i < n; ++i) {
                uint32_t sum = un[i + j] + vn[i] + carry;
                un[i + j] = sum & 0xFFFFU;
                carry = sum >> 16;
            }
            un[j + n] = (un[j + n] + carry) & 0xFFFFU;
        }
        q[j] = qhat;
    }

    for (int i = 0; i < n - 1; ++i) r[i] = ((un[i] >> s) | (un[i + 1] << (16 - s))) & 0xFFFFU;
    r[n - 1] = un[n - 1] >> s;
    *quotient = from_digits(q);
    *remainder = from_digits(r);
    return true;
}

}  // namespace

UINT64 U64_Div(UINT64 a, UINT64 b, UINT64* remainder, uint16_t* status) {
    UINT64 q;
    UINT64 r;
    bool done = divide(a, b, &q, &r);
    if (remainder != nullptr) *remainder = r;
    if (status != nullptr) *status = done ? U64_DIV_DONE : U64_DIV_BY_ZERO;
    return q;
}

UINT64 U64_Mod(UINT64 a, UINT64 b, uint16_t* status) {
    UINT64 q;
    UINT64 r;
    bool done = divide(a, b, &q, &r);
    if (status != nullptr) *status = done ? U64_DIV_DONE : U64_DIV_BY_ZERO;
    return r;
}
