// Unsigned 64-bit values held as two 32-bit halves, low half first, and their
// arithmetic and text conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct UINT64 {
    uint32_t lsw;
    uint32_t msw;
};

enum : uint16_t { U64_STATUS_OUT_OF_RANGE = 0, U64_STATUS_EXACT = 1 };
enum : uint16_t { U64_DIV_DONE = 0, U64_DIV_BY_ZERO = 4 };

// Room U64_Litoa needs: 22 octal digits after "0", or 20 grouped decimal digits.
constexpr size_t U64_TEXT_SIZE = 32;

// The same value as one native integer, and back.
constexpr uint64_t AsU64(UINT64 v) { return static_cast<uint64_t>(v.msw) << 32 | v.lsw; }
constexpr UINT64 ToU64(uint64_t v) { return UINT64{static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)}; }

UINT64 U64_Init(uint32_t lsw, uint32_t msw);
UINT64 U32_To_U64(uint32_t v);
int U64_To_32Bit(UINT64 x, uint32_t* lsw, uint32_t* msw);
off_t UINT64_To_offt(UINT64 x);
UINT64 U64_Add(UINT64 a, UINT64 b, uint16_t* status);
UINT64 U64_Sub(UINT64 a, UINT64 b, uint16_t* status);
UINT64 U64_Mult(UINT64 a, UINT64 b);
UINT64 U64_Div(UINT64 a, UINT64 b, UINT64* remainder, uint16_t* status);
UINT64 U64_Mod(UINT64 a, UINT64 b, uint16_t* status);
uint32_t U64_Test(UINT64 a, UINT64 b);
uint32_t U64_Stest(UINT64 a, const char* text);
UINT64 U64_Btop(UINT64 a, UINT64 b, uint32_t op, int n);
void U64_Commas(uint16_t flag);
void U64_SetComma(const char* c);
UINT64 U64_Atoli(const char* text, uint16_t* status);
char* U64_Litoa(UINT64 x, char* buffer, int base, uint16_t* status);
char* mstrncat(char* dst, const char* src, int n);
