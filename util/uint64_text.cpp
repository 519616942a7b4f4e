// Text conversion of 64-bit values: hexadecimal, decimal and octal, with
// optional digit grouping for decimal output.
#include <cstdio>
#include <cstring>

#include "util/uint64.h"

namespace {

uint16_t group_digits = 0;
char group_separator = ',';

// 10^19 down to 10^1.
constexpr int kPowers = 19;
const UINT64 kPowersOfTen[kPowers] = {
    {0x89E80000U, 0x8AC72304U}, {0xA7640000U, 0x0DE0B6B3U}, {0x5D8A0000U, 0x01634578U}, {0x6FC10000U, 0x002386F2U},
    {0xA4C68000U, 0x00038D7EU}, {0x107A4000U, 0x00005AF3U}, {0x4E72A000U, 0x00000918U}, {0xD4A51000U, 0x000000E8U},
    {0x4876E800U, 0x00000017U}, {0x540BE400U, 0x00000002U}, {0x3B9ACA00U, 0}, {0x05F5E100U, 0},
    {0x00989680U, 0}, {0x000F4240U, 0}, {0x000186A0U, 0}, {0x00002710U, 0},
    {0x000003E8U, 0}, {0x00000064U, 0}, {0x0000000AU, 0},
};

bool less_than(UINT64 a, UINT64 b) { return a.msw < b.msw || (a.msw == b.msw && a.lsw < b.lsw); }

UINT64 rejected(uint16_t* status) {
    *status = U64_STATUS_OUT_OF_RANGE;
    return UINT64{0, 0};
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// More than 16 characters after the prefix are refused; otherwise the
// value is that of the hexadecimal digits up to the first character that is
// none (so "0x" reads as 0 and "0x1G" as 1), and the reading counts as done.
UINT64 parse_hex(const char* digits, uint16_t* status) {
    size_t len = std::strlen(digits);
    if (len > 16) return rejected(status);
    uint64_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        int d = hex_value(digits[i]);
        if (d < 0) break;
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    return ToU64(v);
}

// Digits are taken from the last towards the first; a stray character ends
// the reading with what the digits after it gave.
UINT64 parse_decimal(const char* text, uint16_t* status) {
    size_t len = std::strlen(text);
    if (len > 20) return rejected(status);
    uint64_t value = 0;
    uint64_t power = 1;
    for (size_t i = len; i > 0; --i) {
        char c = text[i - 1];
        if (c < '0' || c > '9') {
            *status = U64_STATUS_OUT_OF_RANGE;
            return ToU64(value);
        }
        uint64_t term;
        if (__builtin_mul_overflow(static_cast<uint64_t>(c - '0'), power, &term) ||
            __builtin_add_overflow(value, term, &value)) {
            return rejected(status);  // more than 2^64 - 1
        }
        if (i > 1) power *= 10;  // at most 10^19: the text has at most 20 digits
    }
    return ToU64(value);
}

// digits: the text after its leading "0". A text of 23 characters or more
// is refused, though the largest values need exactly 23.
UINT64 parse_octal(const char* digits, uint16_t* status) {
    size_t len = std::strlen(digits);
    if (len + 1 >= 23) return rejected(status);
    uint64_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        char c = digits[i];
        if (c < '0' || c > '7') return rejected(status);
        if ((v >> 61) != 0) return rejected(status);  // would pass 2^64 - 1
        v = (v << 3) | static_cast<uint64_t>(c - '0');
    }
    return ToU64(v);
}

void append_decimal_msw(UINT64 x, char* out) {
    int p = 0;
    while (p < kPowers && !less_than(kPowersOfTen[p], x)) ++p;
    UINT64 rest = x;
    out[0] = '\0';
    for (; p < kPowers; ++p) {
        UINT64 remainder;
        uint16_t st;
        UINT64 q = U64_Div(rest, kPowersOfTen[p], &remainder, &st);
        std::sprintf(out + std::strlen(out), "%ld", static_cast<long>(q.lsw));
        rest = remainder;
    }
    std::sprintf(out + std::strlen(out), "%ld", static_cast<long>(rest.lsw));
}

void append_octal_msw(UINT64 x, char* out) {
    uint64_t v = AsU64(x);
    uint64_t top = v >> 33;
    unsigned middle = static_cast<unsigned>((v >> 30) & 7U);
    unsigned long low = static_cast<unsigned long>(v & 0x3FFFFFFFU);
    if (top != 0) {
        std::sprintf(out, "0%lo%u%010lo", static_cast<unsigned long>(top), middle, low);
    } else {
        std::sprintf(out, "0%u%010lo", middle, low);
    }
}

void group(char* text) {
    size_t len = std::strlen(text);
    if (len < 4) return;
    char digits[U64_TEXT_SIZE];
    std::memcpy(digits, text, len + 1);
    size_t first = len % 3 == 0 ? 3 : len % 3;
    char* out = text;
    for (size_t i = 0; i < len; ++i) {
        if (i != 0 && i >= first && (i - first) % 3 == 0) *out++ = group_separator;
        *out++ = digits[i];
    }
    *out = '\0';
}

}  // namespace

void U64_Commas(uint16_t flag) { group_digits = flag; }

void U64_SetComma(const char* c) {
    if (c != nullptr) group_separator = *c;
}

UINT64 U64_Atoli(const char* text, uint16_t* status) {
    uint16_t local;
    if (status == nullptr) status = &local;
    if (text == nullptr) return rejected(status);
    *status = U64_STATUS_EXACT;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return parse_hex(text + 2, status);
    if (text[0] != '0') return parse_decimal(text, status);
    return parse_octal(text + 1, status);
}

char* U64_Litoa(UINT64 x, char* buffer, int base, uint16_t* status) {
    uint16_t local;
    if (status == nullptr) status = &local;
    if (buffer == nullptr) {
        *status = U64_STATUS_OUT_OF_RANGE;
        return buffer;
    }
    if (x.msw == 0) {
        if (base == 16) {
            std::sprintf(buffer, "0x%lx", static_cast<unsigned long>(x.lsw));
        } else if (base == 10) {
            std::sprintf(buffer, "%lu", static_cast<unsigned long>(x.lsw));
        } else {
            std::sprintf(buffer, "0%lo", static_cast<unsigned long>(x.lsw));
        }
    } else if (base == 16) {
        std::sprintf(buffer, "0x%lx%08lx", static_cast<unsigned long>(x.msw), static_cast<unsigned long>(x.lsw));
    } else if (base == 10) {
        append_decimal_msw(x, buffer);
    } else {
        append_octal_msw(x, buffer);
    }
    if (base == 10 && group_digits != 0) group(buffer);
    *status = U64_STATUS_EXACT;
    return buffer;
}

char* mstrncat(char* dst, const char* src, int n) {
    size_t len = std::strlen(dst);
    if (n > 0) {
        std::memcpy(dst + len, src, static_cast<size_t>(n));
        len += static_cast<size_t>(n);
    }
    dst[len] = '\0';
    return dst;
}
