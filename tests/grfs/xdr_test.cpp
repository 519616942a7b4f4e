#include "grfs/xdr.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "grfs/byte_order.h"
#include "xdr_trace_capture.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kUntouched = 0xAA;

// A coder over a buffer of `size` bytes that all start as kUntouched.
struct Coder {
    Bytes buf;
    GRFS_XDR xdr{};
    Coder(int direction, int size, int limit) : buf(static_cast<size_t>(size), kUntouched) {
        grfs_set_xdr_direction(&xdr, direction);
        grfs_set_xdr_buffer(&xdr, buf.data(), limit);
    }
    Coder(int direction, int size) : Coder(direction, size, size) {}
    explicit Coder(const Bytes& wire) : buf(wire) {
        grfs_set_xdr_direction(&xdr, GRFS_XDR_DECODE);
        grfs_set_xdr_buffer(&xdr, buf);
    }
    Bytes coded() const { return Bytes(buf.begin(), buf.begin() + xdr.cursor); }
};

const char* const kOverrunLine = "xdr buffer not big enough (%d) - aborting\n";
std::string overrun_line(int cursor) {
    char line[80];
    std::snprintf(line, sizeof line, kOverrunLine, cursor);
    return line;
}

TEST(XdrPrimitives, EncodeLittleEndianGoldenBytes) {
    Coder c(GRFS_XDR_ENCODE, 64);
    uint8_t b = 0x7F;
    uint16_t w = 0x0102;
    int16_t neg = -486;
    uint32_t l = 0x01020304;
    UINT64 q{1, 2};
    BOOLEAN t = 1;
    DLE_HANDLE dle = 0xA1B2C3D4;
    OBJ_HANDLE obj = 0x00000105;
    grfs_xdr_INT8(&c.xdr, &b);
    grfs_xdr_INT16(&c.xdr, &w);
    grfs_xdr_NET16(&c.xdr, &w);
    grfs_xdr_NET16(&c.xdr, &neg);
    grfs_xdr_INT32(&c.xdr, &l);
    grfs_xdr_NET32(&c.xdr, &l);
    grfs_xdr_NET64(&c.xdr, &q);
    grfs_xdr_BOOLEAN(&c.xdr, &t);
    grfs_xdr_DLE_HANDLE(&c.xdr, &dle);
    grfs_xdr_OBJ_HANDLE(&c.xdr, &obj);
    Bytes expected = {0x7F,                                             //
                      0x02, 0x01, 0x02, 0x01, 0x1A, 0xFE,               //
                      0x04, 0x03, 0x02, 0x01, 0x04, 0x03, 0x02, 0x01,   //
                      0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,   //
                      0x01, 0x00,                                       //
                      0xD4, 0xC3, 0xB2, 0xA1, 0x05, 0x01, 0x00, 0x00};
    EXPECT_EQ(c.coded(), expected);
    EXPECT_EQ(grfs_get_xdr_length(&c.xdr), 33);
    EXPECT_FALSE(grfs_xdr_failed(&c.xdr));
    EXPECT_EQ(c.buf[33], kUntouched);
}

TEST(XdrPrimitives, DecodeLittleEndianGoldenBytes) {
    Coder c(Bytes{0x7F, 0x02, 0x01, 0x1A, 0xFE, 0x04, 0x03, 0x02, 0x01, 0x01, 0x00, 0x00, 0x00,
                  0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
    uint8_t b = 0;
    uint16_t w = 0;
    int16_t neg = 0;
    uint32_t l = 0;
    UINT64 q{};
    BOOLEAN t = 0;
    int32_t minus_one = 0;
    grfs_xdr_INT8(&c.xdr, &b);
    grfs_xdr_INT16(&c.xdr, &w);
    grfs_xdr_NET16(&c.xdr, &neg);
    grfs_xdr_NET32(&c.xdr, &l);
    grfs_xdr_NET64(&c.xdr, &q);
    grfs_xdr_BOOLEAN(&c.xdr, &t);
    grfs_xdr_INT32(&c.xdr, &minus_one);
    EXPECT_EQ(b, 0x7F);
    EXPECT_EQ(w, 0x0102);
    EXPECT_EQ(neg, -486);
    EXPECT_EQ(l, 0x01020304u);
    EXPECT_EQ(q.lsw, 1u);
    EXPECT_EQ(q.msw, 2u);
    EXPECT_EQ(t, 1);
    EXPECT_EQ(minus_one, -1);
    EXPECT_EQ(grfs_get_xdr_length(&c.xdr), 23);
    EXPECT_FALSE(c.xdr.overrun);
}

TEST(XdrPrimitives, StreamInfoAndDateTimeLayouts) {
    GRFS_STREAM_INFO si{0x4E415453, 0x0102, 0, {0x10000, 3}};
    DATE_TIME dt{1, 2024, 2, 29, 23, 59, 61, 4};
    Coder c(GRFS_XDR_ENCODE, 32);
    grfs_xdr_GRFS_STREAM_INFO(&c.xdr, &si);
    grfs_xdr_DATE_TIME(&c.xdr, &dt);
    Bytes expected = {0x53, 0x54, 0x41, 0x4E, 0x02, 0x01, 0x00, 0x00,  // id "STAN", attrib, reserved
                      0x00, 0x00, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00,  // size low, high
                      0x01, 0x00, 0xE8, 0x07, 0x02, 0x00, 0x1D, 0x00,  // valid, 2024, 2, 29
                      0x17, 0x00, 0x3B, 0x00, 0x3D, 0x00, 0x04, 0x00}; // 23, 59, 61, Thursday
    EXPECT_EQ(c.coded(), expected);

    Coder d(expected);
    GRFS_STREAM_INFO si2{};
    DATE_TIME dt2{};
    grfs_xdr_GRFS_STREAM_INFO(&d.xdr, &si2);
    grfs_xdr_DATE_TIME(&d.xdr, &dt2);
    EXPECT_EQ(std::memcmp(&si, &si2, sizeof si), 0);
    EXPECT_EQ(std::memcmp(&dt, &dt2, sizeof dt), 0);
    EXPECT_EQ(d.xdr.cursor, 32);
}

TEST(XdrPrimitives, SetBufferResetsCursorAndFaultsButKeepsDirection) {
    Coder c(GRFS_XDR_ENCODE, 4, 0);
    uint8_t b = 1;
    {
        TraceCapture quiet(0);
        grfs_xdr_INT8(&c.xdr, &b);
    }
    c.xdr.oversized = c.xdr.short_dblk = true;
    ASSERT_TRUE(c.xdr.overrun);
    grfs_set_xdr_buffer(&c.xdr, c.buf.data(), 4);
    EXPECT_EQ(c.xdr.cursor, 0);
    EXPECT_EQ(c.xdr.limit, 4);
    EXPECT_FALSE(grfs_xdr_failed(&c.xdr));
    EXPECT_EQ(c.xdr.direction, GRFS_XDR_ENCODE);
}

TEST(XdrPrimitives, OtherDirectionConsumesBytesButStoresNothingInWords) {
    Coder c(Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
    grfs_set_xdr_direction(&c.xdr, 3);
    uint16_t w = 0xBEEF;
    uint32_t l = 0xDEADBEEF;
    uint8_t b = 0;
    grfs_xdr_INT16(&c.xdr, &w);
    grfs_xdr_INT32(&c.xdr, &l);
    grfs_xdr_INT8(&c.xdr, &b);  // bytes are read in any direction but encode
    EXPECT_EQ(w, 0xBEEF);
    EXPECT_EQ(l, 0xDEADBEEFu);
    EXPECT_EQ(b, 0x77);
    EXPECT_EQ(c.xdr.cursor, 7);
}

TEST(XdrCharArray, CarriesEveryByteAsIs) {
    const unsigned char text[6] = {'a', 0, 'b', 0, 0, 0xFF};
    Coder c(GRFS_XDR_ENCODE, 8);
    grfs_xdr_char_array(&c.xdr, const_cast<unsigned char*>(text), 6);
    EXPECT_EQ(c.coded(), Bytes(text, text + 6));
    grfs_xdr_char_array(&c.xdr, const_cast<unsigned char*>(text), 0);
    grfs_xdr_char_array(&c.xdr, const_cast<unsigned char*>(text), -5);
    EXPECT_EQ(c.xdr.cursor, 6);

    Coder d(c.coded());
    unsigned char back[8];
    std::memset(back, 0x55, sizeof back);
    grfs_xdr_char_array(&d.xdr, back, 6);
    EXPECT_EQ(std::memcmp(back, text, 6), 0);
    EXPECT_EQ(back[6], 0x55);
}

TEST(XdrCharArray, DeferredArrayLeavesItsPlaceAndNotesIt) {
    // The array named by defer_array is skipped, not copied; other arrays
    // and fields are coded around it at their usual places.
    unsigned char head[2] = {1, 2};
    unsigned char bulk[5] = {9, 9, 9, 9, 9};
    unsigned char tail[1] = {3};
    Coder c(GRFS_XDR_ENCODE, 12);
    EXPECT_EQ(c.xdr.deferred_at, -1);
    c.xdr.defer_array = bulk;
    grfs_xdr_char_array(&c.xdr, head, 2);
    grfs_xdr_char_array(&c.xdr, bulk, 5);
    grfs_xdr_char_array(&c.xdr, tail, 1);
    EXPECT_EQ(c.xdr.deferred_at, 2);
    EXPECT_EQ(c.xdr.deferred_len, 5);
    EXPECT_EQ(c.coded(), (Bytes{1, 2, kUntouched, kUntouched, kUntouched, kUntouched, kUntouched, 3}));
    EXPECT_FALSE(grfs_xdr_failed(&c.xdr));

    // Cut by the limit: only what fits is noted, and the overrun is reported.
    Coder cut(GRFS_XDR_ENCODE, 4);
    cut.xdr.defer_array = bulk;
    TraceCapture quiet(0);
    grfs_xdr_char_array(&cut.xdr, head, 2);
    grfs_xdr_char_array(&cut.xdr, bulk, 5);
    EXPECT_EQ(cut.xdr.deferred_at, 2);
    EXPECT_EQ(cut.xdr.deferred_len, 2);
    EXPECT_TRUE(cut.xdr.overrun);

    // Decoding ignores it, and a new buffer forgets the note.
    Coder d(Bytes{7, 7, 7});
    d.xdr.defer_array = bulk;
    grfs_xdr_char_array(&d.xdr, bulk, 3);
    EXPECT_EQ(bulk[0], 7);
    EXPECT_EQ(d.xdr.deferred_at, -1);
    grfs_set_xdr_buffer(&c.xdr, c.buf.data(), 12);
    EXPECT_EQ(c.xdr.deferred_at, -1);
    EXPECT_EQ(c.xdr.deferred_len, 0);
}

TEST(XdrCharArray, BoundedCopyStopsAtTheRoomAndSaysSo) {
    Coder d(Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    unsigned char room[4] = {};
    TraceCapture trace(DBG_CONFIG);
    grfs_xdr_char_array_bounded(&d.xdr, room, 8, 4);
    EXPECT_EQ(trace.lines(), "xdr length 8 exceeds room 4\n");
    EXPECT_TRUE(d.xdr.oversized);
    EXPECT_FALSE(d.xdr.overrun);
    EXPECT_EQ(d.xdr.cursor, 4);
    EXPECT_EQ(room[3], 4);

    Coder ok(Bytes{9, 9});
    grfs_xdr_char_array_bounded(&ok.xdr, room, 2, 4);
    EXPECT_FALSE(grfs_xdr_failed(&ok.xdr));
    EXPECT_EQ(room[1], 9);
}

TEST(XdrCharString, EncodeCountsTextAndZero) {
    char text[12] = "abc";
    Coder c(GRFS_XDR_ENCODE, 16);
    EXPECT_EQ(grfs_xdr_char_string(&c.xdr, text, 12), 4);
    EXPECT_EQ(c.coded(), (Bytes{'a', 'b', 'c', 0}));

    char full[12];
    std::memcpy(full, "abcdefghijkl", 12);
    Coder f(GRFS_XDR_ENCODE, 16);
    EXPECT_EQ(grfs_xdr_char_string(&f.xdr, full, 12), 12);
    EXPECT_EQ(f.coded(), Bytes(full, full + 12));
    EXPECT_EQ(f.buf[12], kUntouched);

    Coder z(GRFS_XDR_ENCODE, 16);
    EXPECT_EQ(grfs_xdr_char_string(&z.xdr, text, 0), 0);
    EXPECT_EQ(grfs_xdr_char_string(&z.xdr, text, -3), -3);
    EXPECT_EQ(z.xdr.cursor, 0);

    char empty[4] = "";
    Coder e(GRFS_XDR_ENCODE, 4);
    EXPECT_EQ(grfs_xdr_char_string(&e.xdr, empty, 4), 1);
    EXPECT_EQ(e.coded(), Bytes{0});
}

TEST(XdrCharString, DecodeStopsAtTheReceivedZero) {
    Coder d(Bytes{'x', 'y', 0, 'G', 'G', 'G'});
    char out[12];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(grfs_xdr_char_string(&d.xdr, out, 12), 3);
    EXPECT_STREQ(out, "xy");
    EXPECT_EQ(out[3], '#');  // nothing past the zero is stored
    EXPECT_EQ(d.xdr.cursor, 3);

    Bytes twelve(12, 'q');
    twelve.push_back(0);
    Coder n(twelve);
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(grfs_xdr_char_string(&n.xdr, out, 12), 12);
    EXPECT_EQ(n.xdr.cursor, 12);
    EXPECT_FALSE(n.xdr.overrun);
    EXPECT_EQ(std::string(out, 12), std::string(12, 'q'));
}

TEST(XdrOverrun, Limit3With32BitFieldEncodes3BytesAndTracesOnce) {
    Coder c(GRFS_XDR_ENCODE, 8, 3);
    uint32_t l = 0x01020304;
    TraceCapture trace(DBG_CONFIG);
    grfs_xdr_INT32(&c.xdr, &l);
    EXPECT_EQ(trace.lines(), overrun_line(3));
    EXPECT_EQ(c.xdr.cursor, 3);
    EXPECT_TRUE(c.xdr.overrun);
    EXPECT_EQ(c.buf, (Bytes{0x04, 0x03, 0x02, kUntouched, kUntouched, kUntouched, kUntouched, kUntouched}));
}

TEST(XdrOverrun, Limit3DecodeLeavesTheFieldAsItWas) {
    Coder d(GRFS_XDR_DECODE, 8, 3);
    uint32_t l = 0x12345678;
    TraceCapture trace(DBG_CONFIG);
    grfs_xdr_INT32(&d.xdr, &l);
    EXPECT_EQ(trace.lines(), overrun_line(3));
    EXPECT_EQ(l, 0x12345678u);
    EXPECT_EQ(d.xdr.cursor, 3);
}

TEST(XdrOverrun, EveryLaterFieldMeetsTheSameBound) {
    Coder c(GRFS_XDR_ENCODE, 8, 1);
    uint8_t b = 9;
    uint16_t w = 7;
    TraceCapture trace(DBG_CONFIG);
    grfs_xdr_INT8(&c.xdr, &b);
    grfs_xdr_INT8(&c.xdr, &b);
    grfs_xdr_INT16(&c.xdr, &w);
    EXPECT_EQ(trace.lines(), overrun_line(1) + overrun_line(1) + overrun_line(1));
    EXPECT_EQ(c.xdr.cursor, 1);
    EXPECT_EQ(c.buf[0], 9);
    EXPECT_EQ(c.buf[1], kUntouched);
}

TEST(XdrOverrun, TraceOnlyInClass2) {
    Coder c(GRFS_XDR_ENCODE, 2, 0);
    uint8_t b = 1;
    TraceCapture trace(static_cast<uint16_t>(0xFFFF & ~DBG_CONFIG));
    grfs_xdr_INT8(&c.xdr, &b);
    EXPECT_EQ(trace.lines(), "");
    EXPECT_TRUE(c.xdr.overrun);
}

TEST(XdrOverrun, ArrayCopiesWhatFitsAndTracesOnce) {
    Coder c(GRFS_XDR_ENCODE, 10, 6);
    unsigned char src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint16_t w = 0x0A0B;
    grfs_xdr_INT16(&c.xdr, &w);
    TraceCapture trace(DBG_CONFIG);
    grfs_xdr_char_array(&c.xdr, src, 8);
    EXPECT_EQ(trace.lines(), overrun_line(6));
    EXPECT_EQ(c.xdr.cursor, 6);
    EXPECT_EQ(c.buf, (Bytes{0x0B, 0x0A, 1, 2, 3, 4, kUntouched, kUntouched, kUntouched, kUntouched}));

    Coder d(GRFS_XDR_DECODE, 10, 3);
    unsigned char dst[8];
    std::memset(dst, 0x55, sizeof dst);
    TraceCapture quiet(0);
    grfs_xdr_char_array(&d.xdr, dst, 8);
    EXPECT_EQ(Bytes(dst, dst + 8), (Bytes{kUntouched, kUntouched, kUntouched, 0x55, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_TRUE(d.xdr.overrun);
}

TEST(XdrOverrun, StringsCutByTheLimit) {
    // Encoding: the count is the text's; only the bytes before limit go out.
    char text[12] = "abcdef";
    Coder c(GRFS_XDR_ENCODE, 8, 4);
    TraceCapture trace(DBG_CONFIG);
    EXPECT_EQ(grfs_xdr_char_string(&c.xdr, text, 12), 7);
    EXPECT_EQ(trace.lines(), overrun_line(4));
    EXPECT_EQ(c.buf, (Bytes{'a', 'b', 'c', 'd', kUntouched, kUntouched, kUntouched, kUntouched}));

    // Decoding: the received bytes are stored; memory past them is left as
    // it was, and its first zero ends the count.
    Coder d(GRFS_XDR_DECODE, 8, 3);
    std::memcpy(d.buf.data(), "xyzw", 4);
    char out[12] = "0123456";
    TraceCapture quiet(0);
    EXPECT_EQ(grfs_xdr_char_string(&d.xdr, out, 12), 8);
    EXPECT_EQ(std::string(out), "xyz3456");
    EXPECT_EQ(d.xdr.cursor, 3);
    EXPECT_TRUE(d.xdr.overrun);

    Coder none(GRFS_XDR_DECODE, 4, 0);
    char nothing[4] = {'k', 'k', 'k', 'k'};
    EXPECT_EQ(grfs_xdr_char_string(&none.xdr, nothing, 4), 4);
    EXPECT_EQ(nothing[0], 'k');
    EXPECT_EQ(none.xdr.cursor, 0);
}

TEST(XdrOverrun, NullBufferWithZeroLimitIsNeverTouched) {
    GRFS_XDR x{};
    grfs_set_xdr_direction(&x, GRFS_XDR_DECODE);
    grfs_set_xdr_buffer(&x, nullptr, 0);
    uint32_t l = 5;
    char s[4] = "ab";
    unsigned char a[4] = {};
    TraceCapture quiet(0);
    grfs_xdr_INT32(&x, &l);
    grfs_xdr_char_array(&x, a, 4);
    grfs_xdr_char_string(&x, s, 4);
    EXPECT_EQ(l, 5u);
    EXPECT_EQ(x.cursor, 0);
    EXPECT_TRUE(x.overrun);
}

TEST(ByteOrder, HostIsLittleEndianOnThisBuild) {
    EXPECT_EQ(host_byte_order, kHostBigEndian ? 1 : 0);
    if (kHostBigEndian) {
        EXPECT_EQ(IntelSwapWord(1), 256);
        EXPECT_EQ(NonIntelSwapWord(0x0102), 0x0102);
    } else {
        EXPECT_EQ(IntelSwapWord(1), 1);
        EXPECT_EQ(IntelSwapLong(0x01020304u), 0x01020304u);
        EXPECT_EQ(NonIntelSwapWord(0x0102), 0x0201);
    }
    EXPECT_EQ(swap_bytes16(0x0102), 0x0201);
    EXPECT_EQ(swap_bytes32(0x01020304u), 0x04030201u);
}

TEST(ByteOrder, ReverseByteOrder) {
    unsigned char four[4] = {1, 2, 3, 4};
    ReverseByteOrder(four, 4);
    EXPECT_EQ(Bytes(four, four + 4), (Bytes{4, 3, 2, 1}));
    unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ReverseByteOrder(eight, 8);
    EXPECT_EQ(Bytes(eight, eight + 8), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
    unsigned char three[3] = {1, 2, 3};
    ReverseByteOrder(three, 3);
    EXPECT_EQ(Bytes(three, three + 3), (Bytes{3, 2, 1}));
    unsigned char one[2] = {7, 9};
    ReverseByteOrder(one, 1);
    ReverseByteOrder(one, 0);
    ReverseByteOrder(one, -2);
    EXPECT_EQ(Bytes(one, one + 2), (Bytes{7, 9}));
}

}  // namespace
