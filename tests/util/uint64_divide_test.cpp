#include <gtest/gtest.h>

#include "uint64_test_support.h"
#include "util/uint64.h"

namespace {

void expect_division(uint64_t a, uint64_t b) {
    UINT64 rem{0xDEAD, 0xBEEF};
    uint16_t st = 9;
    UINT64 q = U64_Div(pair(a), pair(b), &rem, &st);
    ASSERT_EQ(st, U64_DIV_DONE) << a << " / " << b;
    ASSERT_EQ(native(q), a / b) << a << " / " << b;
    ASSERT_EQ(native(rem), a % b) << a << " % " << b;
    st = 9;
    ASSERT_EQ(native(U64_Mod(pair(a), pair(b), &st)), a % b) << a << " % " << b;
    ASSERT_EQ(st, U64_DIV_DONE);
}

TEST(Uint64Divide, ZeroDivisor) {
    uint16_t st = 0;
    UINT64 rem{1, 1};
    U64_Div(pair(12345), pair(0), &rem, &st);
    EXPECT_EQ(st, U64_DIV_BY_ZERO);
    EXPECT_EQ(native(rem), 0U);
    st = 0;
    EXPECT_EQ(native(U64_Mod(pair(0xFFFFFFFFFFFFFFFFULL), pair(0), &st)), 0U);
    EXPECT_EQ(st, U64_DIV_BY_ZERO);
}

TEST(Uint64Divide, DigitCountsAndNormalisation) {
    expect_division(0, 1);
    expect_division(0xFFFFFFFFFFFFFFFFULL, 1);
    expect_division(0xFFFFFFFFFFFFFFFFULL, 0xFFFF);          // one-digit divisor
    expect_division(0xFFFFFFFFFFFFFFFFULL, 0x10000);         // two digits, top digit 1
    expect_division(0xFFFFFFFFFFFFFFFFULL, 0xFFFFFFFFFFFFFFFFULL);
    expect_division(0xFFFFFFFFFFFFFFFEULL, 0xFFFFFFFFFFFFFFFFULL);
    expect_division(0x123456789ABCDEF0ULL, 0x8000000000000000ULL);  // no shift needed
    expect_division(0x123456789ABCDEF0ULL, 0x0000000100000000ULL);
    expect_division(5, 7);
    expect_division(10000000000000000000ULL, 10);
}

TEST(Uint64Divide, EstimateCorrectionAndAddBack) {
    // The estimate must be corrected, and the multiply-subtract goes
    // negative and needs the divisor added back.
    expect_division(0x7FFF800000000000ULL, 0x800000000001ULL);
    expect_division(0x0000800000000003ULL, 0x0000200000000001ULL);
    expect_division(0x8000FFFE00000000ULL, 0x80000000FFFFULL);
    expect_division(0x00008000FFFE0000ULL, 0x8000FFFFULL);
    expect_division(0xFFFF000000000000ULL, 0xFFFF0001ULL);
}

TEST(Uint64Divide, AgreesWithNativeOnEdgeValuePairs) {
    std::vector<uint64_t> values = edge_values();
    for (uint64_t a : values)
        for (uint64_t b : values)
            if (b != 0) expect_division(a, b);
}

TEST(Uint64Divide, AgreesWithNativeOnManyRandomValues) {
    ValueSource src(4);
    for (int i = 0; i < 300000; ++i) {
        uint64_t a = src.next();
        uint64_t b = src.next();
        if (b == 0) continue;
        expect_division(a, b);
        // A divisor just below or above the quotient's divisor multiple.
        uint64_t q = a / b;
        if (q > 1) expect_division(a, a / (q - 1));
    }
}

}  // namespace
