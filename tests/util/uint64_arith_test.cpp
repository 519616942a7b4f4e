#include <gtest/gtest.h>

#include "uint64_test_support.h"
#include "util/uint64.h"

namespace {

TEST(Uint64Basics, ConstructionAndSplitting) {
    UINT64 x = U64_Init(0x11223344U, 0xAABBCCDDU);
    EXPECT_EQ(x.lsw, 0x11223344U);
    EXPECT_EQ(x.msw, 0xAABBCCDDU);
    UINT64 y = U32_To_U64(0xDEADBEEFU);
    EXPECT_EQ(y.lsw, 0xDEADBEEFU);
    EXPECT_EQ(y.msw, 0U);
    uint32_t lo = 0;
    uint32_t hi = 0;
    EXPECT_EQ(U64_To_32Bit(x, &lo, &hi), 1);
    EXPECT_EQ(lo, 0x11223344U);
    EXPECT_EQ(hi, 0xAABBCCDDU);
    EXPECT_EQ(UINT64_To_offt(U64_Init(5, 1)), static_cast<off_t>(0x100000005LL));
    EXPECT_EQ(UINT64_To_offt(U64_Init(0xFFFFFFFFU, 0x7FFFFFFFU)), static_cast<off_t>(0x7FFFFFFFFFFFFFFFLL));
}

TEST(Uint64Add, CarriesAndOverflow) {
    uint16_t st = 9;
    UINT64 r = U64_Add(U64_Init(0xFFFFFFFFU, 0), U64_Init(1, 0), &st);
    EXPECT_EQ(r.lsw, 0U);
    EXPECT_EQ(r.msw, 1U);
    EXPECT_EQ(st, 1);
    r = U64_Add(U64_Init(0, 0xFFFFFFFFU), U64_Init(0, 1), &st);
    EXPECT_EQ(r.lsw, 0U);
    EXPECT_EQ(r.msw, 0U);
    EXPECT_EQ(st, 0);
    // The carry alone pushes the high word over.
    r = U64_Add(U64_Init(0xFFFFFFFFU, 0xFFFFFFFFU), U64_Init(1, 0), &st);
    EXPECT_EQ(native(r), 0U);
    EXPECT_EQ(st, 0);
    r = U64_Add(U64_Init(0xFFFFFFFFU, 0xFFFFFFFEU), U64_Init(1, 0), &st);
    EXPECT_EQ(native(r), 0xFFFFFFFF00000000ULL);
    EXPECT_EQ(st, 1);
    r = U64_Add(U64_Init(0xFFFFFFFFU, 0xFFFFFFFFU), U64_Init(0xFFFFFFFFU, 0xFFFFFFFFU), &st);
    EXPECT_EQ(native(r), 0xFFFFFFFFFFFFFFFEULL);
    EXPECT_EQ(st, 0);
}

TEST(Uint64Add, AgreesWithNativeArithmetic) {
    std::vector<uint64_t> values = edge_values();
    ValueSource src(1);
    for (int i = 0; i < 400; ++i) values.push_back(src.next());
    for (uint64_t a : values) {
        for (uint64_t b : values) {
            uint16_t st = 9;
            UINT64 r = U64_Add(pair(a), pair(b), &st);
            uint64_t want = a + b;
            ASSERT_EQ(native(r), want) << a << " + " << b;
            ASSERT_EQ(st, want >= a ? 1 : 0) << a << " + " << b;
        }
    }
}

TEST(Uint64Sub, BorrowsAndSmallerMinuend) {
    uint16_t st = 9;
    UINT64 r = U64_Sub(U64_Init(0, 1), U64_Init(1, 0), &st);
    EXPECT_EQ(r.lsw, 0xFFFFFFFFU);
    EXPECT_EQ(r.msw, 0U);
    EXPECT_EQ(st, 1);
    r = U64_Sub(U64_Init(1, 0), U64_Init(2, 0), &st);
    EXPECT_EQ(r.lsw, 0xFFFFFFFFU);
    EXPECT_EQ(r.msw, 0U);
    EXPECT_EQ(st, 0);
    r = U64_Sub(U64_Init(0, 0), U64_Init(0, 1), &st);
    EXPECT_EQ(r.lsw, 0U);
    EXPECT_EQ(r.msw, 0U);
    EXPECT_EQ(st, 0);
    r = U64_Sub(U64_Init(5, 3), U64_Init(5, 3), &st);
    EXPECT_EQ(native(r), 0U);
    EXPECT_EQ(st, 1);
    r = U64_Sub(U64_Init(0, 0xFFFFFFFFU), U64_Init(0xFFFFFFFFU, 0xFFFFFFFEU), &st);
    EXPECT_EQ(native(r), 1U);
    EXPECT_EQ(st, 1);
}

TEST(Uint64Sub, AgreesWithNativeArithmetic) {
    std::vector<uint64_t> values = edge_values();
    ValueSource src(2);
    for (int i = 0; i < 400; ++i) values.push_back(src.next());
    for (uint64_t a : values) {
        for (uint64_t b : values) {
            uint16_t st = 9;
            UINT64 r = U64_Sub(pair(a), pair(b), &st);
            if (a >= b) {
                ASSERT_EQ(native(r), a - b) << a << " - " << b;
                ASSERT_EQ(st, 1);
            } else {
                // Out of range: 0 when the high words decide, else the low
                // difference alone.
                uint64_t want = (a >> 32) < (b >> 32) ? 0 : static_cast<uint32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
                ASSERT_EQ(native(r), want) << a << " - " << b;
                ASSERT_EQ(st, 0);
            }
        }
    }
}

TEST(Uint64Mult, AgreesWithNativeArithmeticModulo2To64) {
    std::vector<uint64_t> values = edge_values();
    ValueSource src(3);
    for (int i = 0; i < 400; ++i) values.push_back(src.next());
    for (uint64_t a : values)
        for (uint64_t b : values) ASSERT_EQ(native(U64_Mult(pair(a), pair(b))), a * b) << a << " * " << b;
}

TEST(Uint64Bits, TestAndStest) {
    EXPECT_EQ(U64_Test(U64_Init(0x0F, 0xF0), U64_Init(0x01, 0x10)), 0x11U);
    EXPECT_EQ(U64_Test(U64_Init(0x0F, 0x00), U64_Init(0xF0, 0x0F)), 0U);
    EXPECT_NE(U64_Stest(U64_Init(0, 0x1), "0x100000000"), 0U);
    EXPECT_EQ(U64_Stest(U64_Init(0xFFFFFFFFU, 0), "0x100000000"), 0U);
    EXPECT_EQ(U64_Stest(U64_Init(6, 0), "4"), 4U);
}

TEST(Uint64Bits, BitOperations) {
    UINT64 a = pair(0xF0F0F0F0FFFF0000ULL);
    UINT64 b = pair(0xFF00FF000F0F0F0FULL);
    EXPECT_EQ(native(U64_Btop(a, b, 0, 0)), 0xF0F0F0F0FFFF0000ULL & ~0xFF00FF000F0F0F0FULL);
    EXPECT_EQ(native(U64_Btop(a, b, 1, 0)), 0xF0F0F0F0FFFF0000ULL | 0xFF00FF000F0F0F0FULL);
    EXPECT_EQ(native(U64_Btop(a, b, 2, 0)), 0xF0F0F0F0FFFF0000ULL ^ 0xFF00FF000F0F0F0FULL);
    EXPECT_EQ(native(U64_Btop(a, b, 3, 0)), 0xF0F0F0F0FFFF0000ULL | 0xFF00FF000F0F0F0FULL);
    EXPECT_EQ(native(U64_Btop(a, b, 4, 0)), 0xF0F0F0F0FFFF0000ULL & 0xFF00FF000F0F0F0FULL);
    EXPECT_EQ(native(U64_Btop(a, b, 5, 0)), ~0xF0F0F0F0FFFF0000ULL);
    EXPECT_EQ(native(U64_Btop(a, b, 8, 0)), native(a));
    EXPECT_EQ(native(U64_Btop(a, b, 0xFFFFFFFFU, 3)), native(a));
}

TEST(Uint64Bits, ShiftsAcrossTheHalves) {
    UINT64 one = U64_Init(0x89ABCDEFU, 0x01234567U);
    UINT64 r = U64_Btop(one, U64_Init(0, 0), 6, 32);
    EXPECT_EQ(r.msw, 0x89ABCDEFU);
    EXPECT_EQ(r.lsw, 0U);
    r = U64_Btop(one, U64_Init(0, 0), 7, 32);
    EXPECT_EQ(r.msw, 0U);
    EXPECT_EQ(r.lsw, 0x01234567U);
    for (int n : {0, 64, -1, 100}) {
        EXPECT_EQ(native(U64_Btop(one, U64_Init(0, 0), 6, n)), native(one)) << n;
        EXPECT_EQ(native(U64_Btop(one, U64_Init(0, 0), 7, n)), native(one)) << n;
    }
    for (int n = 1; n <= 63; ++n) {
        EXPECT_EQ(native(U64_Btop(one, U64_Init(0, 0), 6, n)), native(one) << n) << n;
        EXPECT_EQ(native(U64_Btop(one, U64_Init(0, 0), 7, n)), native(one) >> n) << n;
    }
}

}  // namespace
