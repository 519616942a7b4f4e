#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "uint64_test_support.h"
#include "util/uint64.h"

namespace {

std::string litoa(uint64_t v, int base) {
    char buf[U64_TEXT_SIZE];
    std::memset(buf, '#', sizeof buf);
    uint16_t st = 9;
    char* r = U64_Litoa(pair(v), buf, base, &st);
    EXPECT_EQ(r, buf);
    EXPECT_EQ(st, 1);
    return buf;
}

struct Parsed {
    uint64_t value;
    uint16_t status;
};

Parsed atoli(const char* text) {
    uint16_t st = 9;
    UINT64 v = U64_Atoli(text, &st);
    return Parsed{native(v), st};
}

std::string native_text(const char* format, uint64_t v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, static_cast<unsigned long long>(v));
    return buf;
}

// Grouping is process-wide; every test that turns it on leaves it off.
class Grouping : public ::testing::Test {
protected:
    void TearDown() override {
        U64_Commas(0);
        U64_SetComma(",");
    }
};

TEST(Uint64Litoa, LowWordOnlyFormats) {
    EXPECT_EQ(litoa(0, 16), "0x0");
    EXPECT_EQ(litoa(0, 10), "0");
    EXPECT_EQ(litoa(0, 8), "00");
    EXPECT_EQ(litoa(255, 16), "0xff");
    EXPECT_EQ(litoa(255, 10), "255");
    EXPECT_EQ(litoa(255, 8), "0377");
    EXPECT_EQ(litoa(255, 2), "0377");  // any other base is octal
    EXPECT_EQ(litoa(0xFFFFFFFFULL, 10), "4294967295");
    EXPECT_EQ(litoa(0xFFFFFFFFULL, 8), "037777777777");
}

TEST(Uint64Litoa, HighWordFormats) {
    EXPECT_EQ(litoa(0x100000001ULL, 16), "0x100000001");
    EXPECT_EQ(litoa(0xFFFFFFFFFFFFFFFFULL, 16), "0xffffffffffffffff");
    EXPECT_EQ(litoa(0x100000000ULL, 8), "040000000000");
    EXPECT_EQ(litoa(0x380000000ULL, 8), "0160000000000");
    EXPECT_EQ(litoa(0xFFFFFFFFFFFFFFFFULL, 8), "01777777777777777777777");
    EXPECT_EQ(litoa(0x100000000ULL, 10), "4294967296");
    EXPECT_EQ(litoa(10000000000ULL, 10), "10000000000");
    EXPECT_EQ(litoa(10000000000000000000ULL, 10), "10000000000000000000");
    EXPECT_EQ(litoa(9999999999999999999ULL, 10), "9999999999999999999");
    EXPECT_EQ(litoa(0xFFFFFFFFFFFFFFFFULL, 10), "18446744073709551615");
    EXPECT_EQ(litoa(100000000000000000ULL + 7, 10), "100000000000000007");
}

TEST(Uint64Litoa, AgreesWithNativeFormattingInEveryBase) {
    std::vector<uint64_t> values = edge_values();
    ValueSource src(5);
    for (int i = 0; i < 20000; ++i) values.push_back(src.next());
    for (uint64_t p = 10; p < 10000000000000000000ULL; p *= 10) {
        values.push_back(p - 1);
        values.push_back(p);
        values.push_back(p + 1);
    }
    for (uint64_t v : values) {
        ASSERT_EQ(litoa(v, 10), native_text("%llu", v));
        ASSERT_EQ(litoa(v, 16), native_text("0x%llx", v));
        ASSERT_EQ(litoa(v, 8), native_text("0%llo", v));
    }
}

TEST(Uint64Litoa, MissingBufferIsRejected) {
    uint16_t st = 9;
    EXPECT_EQ(U64_Litoa(pair(5), nullptr, 10, &st), nullptr);
    EXPECT_EQ(st, 0);
}

TEST_F(Grouping, DecimalDigitsGroupedInThrees) {
    U64_Commas(1);
    EXPECT_EQ(litoa(1234567, 10), "1,234,567");
    EXPECT_EQ(litoa(123456, 10), "123,456");
    EXPECT_EQ(litoa(12345, 10), "12,345");
    EXPECT_EQ(litoa(1000, 10), "1,000");
    EXPECT_EQ(litoa(999, 10), "999");
    EXPECT_EQ(litoa(0, 10), "0");
    EXPECT_EQ(litoa(0xFFFFFFFFFFFFFFFFULL, 10), "18,446,744,073,709,551,615");
    EXPECT_EQ(litoa(10000000000000000000ULL, 10), "10,000,000,000,000,000,000");
    // Only decimal text is grouped.
    EXPECT_EQ(litoa(1234567, 16), "0x12d687");
    EXPECT_EQ(litoa(1234567, 8), "04553207");
}

TEST_F(Grouping, SeparatorCanBeChangedAndGroupingTurnedOff) {
    U64_Commas(1);
    U64_SetComma(".");
    EXPECT_EQ(litoa(1234567, 10), "1.234.567");
    U64_Commas(0);
    EXPECT_EQ(litoa(1234567, 10), "1234567");
}

TEST(Uint64Atoli, Hexadecimal) {
    EXPECT_EQ(atoli("0x1F").value, 31U);
    EXPECT_EQ(atoli("0X1f").status, 1);
    EXPECT_EQ(atoli("0x0").value, 0U);
    Parsed p = atoli("0x123456789");
    EXPECT_EQ(p.value, 0x123456789ULL);
    EXPECT_EQ(p.status, 1);
    p = atoli("0xFFFFFFFFFFFFFFFF");
    EXPECT_EQ(p.value, 0xFFFFFFFFFFFFFFFFULL);
    EXPECT_EQ(p.status, 1);
    p = atoli("0x00000000000000001");  // 17 digits
    EXPECT_EQ(p.value, 0U);
    EXPECT_EQ(p.status, 0);
    // Digits are read up to the first character that is none; no digit at
    // all reads as 0. Neither is refused.
    p = atoli("0x12G4");
    EXPECT_EQ(p.value, 0x12U);
    EXPECT_EQ(p.status, 1);
    p = atoli("0x1G");
    EXPECT_EQ(p.value, 1U);
    EXPECT_EQ(p.status, 1);
    p = atoli("0x");
    EXPECT_EQ(p.value, 0U);
    EXPECT_EQ(p.status, 1);
}

TEST(Uint64Atoli, Decimal) {
    Parsed p = atoli("12345");
    EXPECT_EQ(p.value, 12345U);
    EXPECT_EQ(p.status, 1);
    p = atoli("18446744073709551615");
    EXPECT_EQ(p.value, 0xFFFFFFFFFFFFFFFFULL);
    EXPECT_EQ(p.status, 1);
    p = atoli("123456789012345678901");  // 21 characters
    EXPECT_EQ(p.value, 0U);
    EXPECT_EQ(p.status, 0);
    // Read from the last digit back: a stray character keeps what follows it.
    p = atoli("12a45");
    EXPECT_EQ(p.value, 45U);
    EXPECT_EQ(p.status, 0);
    p = atoli("-5");
    EXPECT_EQ(p.value, 5U);
    EXPECT_EQ(p.status, 0);
}

TEST(Uint64Atoli, DecimalAboveTheRangeIsRejectedNotWrapped) {
    for (const char* text : {"18446744073709551616", "20000000000000000000", "99999999999999999999"}) {
        Parsed p = atoli(text);
        EXPECT_EQ(p.status, 0) << text;
        EXPECT_EQ(p.value, 0U) << text;
    }
}

TEST(Uint64Atoli, Octal) {
    Parsed p = atoli("0");
    EXPECT_EQ(p.value, 0U);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(atoli("0377").value, 255U);
    p = atoli("037777777777");  // 11 digits, first below 4: the whole low word
    EXPECT_EQ(p.value, 0xFFFFFFFFULL);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(atoli("040000000000").value, 0x100000000ULL);
    EXPECT_EQ(atoli("012345670123456701").value, 012345670123456701ULL);
    p = atoli("0777777777777777777777");  // 22 characters: 2^63 - 1
    EXPECT_EQ(p.value, 0x7FFFFFFFFFFFFFFFULL);
    EXPECT_EQ(p.status, 1);
    // 23 characters or more are refused, whatever the value.
    for (const char* text : {"01777777777777777777777", "01000000000000000000000", "00000000000000000000001",
                             "02000000000000000000000", "000000000000000000000001"}) {
        p = atoli(text);
        EXPECT_EQ(p.status, 0) << text;
        EXPECT_EQ(p.value, 0U) << text;
    }
    p = atoli("0128");
    EXPECT_EQ(p.status, 0);
}

TEST(Uint64Atoli, RoundTripsWithLitoaInEveryBase) {
    std::vector<uint64_t> values = edge_values();
    ValueSource src(6);
    for (int i = 0; i < 20000; ++i) values.push_back(src.next());
    for (uint64_t v : values) {
        for (int base : {8, 10, 16}) {
            std::string text = litoa(v, base);
            Parsed p = atoli(text.c_str());
            if (base == 10 && v == 0) {
                // "0" reads as octal zero, the same value.
                EXPECT_EQ(p.value, 0U);
                continue;
            }
            if (base == 8 && text.size() >= 23) {
                // Octal text of 23 characters (values from 2^63 on) is refused.
                ASSERT_EQ(p.status, 0) << text;
                continue;
            }
            ASSERT_EQ(p.status, 1) << text;
            ASSERT_EQ(p.value, v) << text;
        }
    }
}

TEST(Mstrncat, AppendsExactlyNBytesAndTerminates) {
    char buf[32] = "ab";
    EXPECT_EQ(mstrncat(buf, "cdefgh", 3), buf);
    EXPECT_STREQ(buf, "abcde");
    mstrncat(buf, "xyz", 0);
    EXPECT_STREQ(buf, "abcde");
    char raw[4] = {'1', '2', '3', '4'};  // unterminated source
    mstrncat(buf, raw, 4);
    EXPECT_STREQ(buf, "abcde1234");
    char empty[8] = "";
    mstrncat(empty, "hello", 2);
    EXPECT_STREQ(empty, "he");
}

}  // namespace
