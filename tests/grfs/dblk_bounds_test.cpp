// Blocks whose sizes and offsets lie: decoding and the OS-information
// routines stay inside the received bytes and the record. Buffers and
// records here are allocated to their exact size, so that the sanitizer
// build turns any stray access into a failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "dblk_test_images.h"
#include "grfs/dblk.h"
#include "xdr_trace_capture.h"

namespace {

using namespace dblk_test;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// A record of exactly `room` bytes, every byte `fill`.
std::unique_ptr<GRFS_GEN_DBLK, FreeDeleter> record_of(size_t room, unsigned char fill = 0xEE) {
    void* p = std::malloc(room);
    std::memset(p, fill, room);
    return std::unique_ptr<GRFS_GEN_DBLK, FreeDeleter>(static_cast<GRFS_GEN_DBLK*>(p));
}

struct Decoded {
    GRFS_XDR xdr{};
    int returned = 0;
};

// Decodes the first `received` bytes of wire, from a buffer of exactly that
// size, into rec (room bytes).
Decoded decode_exact(const Bytes& wire, size_t received, GRFS_GEN_DBLK* rec, size_t room) {
    std::unique_ptr<unsigned char[]> in(new unsigned char[received == 0 ? 1 : received]);
    if (received > 0) std::memcpy(in.get(), wire.data(), received);
    Decoded d;
    grfs_set_xdr_direction(&d.xdr, GRFS_XDR_DECODE);
    grfs_set_xdr_buffer(&d.xdr, in.get(), static_cast<int>(received));
    TraceCapture quiet(0);
    d.returned = grfs_xdr_GRFS_GEN_DBLK(&d.xdr, rec, room);
    return d;
}

// A wire image of a plain block of `actual` bytes (no Unix information),
// `wire_size` bytes long, variable area counting up.
Bytes plain_image(unsigned actual, size_t wire_size) {
    Bytes w(wire_size, 0);
    put8(w, 0, FDB_ID);
    put16le(w, 150, actual);
    for (size_t i = 176; i < wire_size; ++i) w[i] = static_cast<unsigned char>(i * 7);
    return w;
}

TEST(DblkBounds, EveryCutOfAFileOrDirectoryBlockIsIncomplete) {
    for (const Bytes& image : {file_wire_image("abc"), dir_wire_image("x/abc")}) {
        for (size_t n = 0; n <= image.size(); ++n) {
            auto rec = record_of(kMaxDblkSize, 0);
            Decoded d = decode_exact(image, n, rec.get(), kMaxDblkSize);
            EXPECT_EQ(d.xdr.cursor, static_cast<int>(n));
            EXPECT_EQ(grfs_xdr_failed(&d.xdr), n < image.size()) << n;
            EXPECT_EQ(d.xdr.overrun, n < image.size()) << n;
            EXPECT_FALSE(d.xdr.oversized);
        }
    }
}

TEST(DblkBounds, ActualSizeZeroCodesTheFixedPartOnly) {
    Bytes w = plain_image(0, 200);
    auto rec = record_of(kMaxDblkSize);
    Decoded d = decode_exact(w, w.size(), rec.get(), kMaxDblkSize);
    EXPECT_EQ(d.returned, 0);
    EXPECT_EQ(d.xdr.cursor, 176);
    EXPECT_TRUE(d.xdr.short_dblk);
    EXPECT_FALSE(d.xdr.overrun);
    EXPECT_EQ(rec->var_area[0], 0xEE);
}

TEST(DblkBounds, ActualSizeOfTheFixedPartAlone) {
    Bytes w = plain_image(176, 176);
    auto rec = record_of(kMaxDblkSize);
    Decoded d = decode_exact(w, w.size(), rec.get(), kMaxDblkSize);
    EXPECT_EQ(d.returned, 176);
    EXPECT_FALSE(grfs_xdr_failed(&d.xdr));
    EXPECT_EQ(rec->var_area[0], 0xEE);
}

TEST(DblkBounds, ActualSizeAtTheRecordsRoom) {
    Bytes w = plain_image(kMaxDblkSize, kMaxDblkSize);
    auto rec = record_of(kMaxDblkSize);
    Decoded d = decode_exact(w, w.size(), rec.get(), kMaxDblkSize);
    EXPECT_EQ(d.returned, kMaxDblkSize);
    EXPECT_FALSE(grfs_xdr_failed(&d.xdr));
    EXPECT_EQ(std::memcmp(dblk_bytes(rec.get()) + 176, w.data() + 176, kMaxDblkSize - 176), 0);
}

TEST(DblkBounds, ActualSizeOneByteTooLargeIsOversized) {
    Bytes w = plain_image(kMaxDblkSize + 1, kMaxDblkSize + 1);
    auto rec = record_of(kMaxDblkSize);
    Decoded d = decode_exact(w, w.size(), rec.get(), kMaxDblkSize);
    EXPECT_EQ(d.returned, kMaxDblkSize + 1);
    EXPECT_TRUE(d.xdr.oversized);
    EXPECT_FALSE(d.xdr.overrun);
    EXPECT_EQ(d.xdr.cursor, kMaxDblkSize);
    EXPECT_EQ(dblk_extent(rec.get()), static_cast<size_t>(kMaxDblkSize));
}

TEST(DblkBounds, ActualSizeFarPastBothRecordAndBytes) {
    Bytes w = plain_image(65535, 300);
    auto rec = record_of(kMaxDblkSize);
    Decoded d = decode_exact(w, w.size(), rec.get(), kMaxDblkSize);
    EXPECT_EQ(d.returned, 65535);
    EXPECT_TRUE(d.xdr.oversized);
    EXPECT_TRUE(d.xdr.overrun);
    EXPECT_EQ(d.xdr.cursor, 300);
    EXPECT_EQ(rec->var_area[300 - 176], 0xEE);
}

TEST(DblkBounds, ASmallerRecordBoundsTheVariableArea) {
    Bytes fits = file_wire_image("abc");
    auto small = record_of(256);
    Decoded ok = decode_exact(fits, fits.size(), small.get(), 256);
    EXPECT_FALSE(grfs_xdr_failed(&ok.xdr));

    Bytes w = plain_image(300, 300);
    auto rec = record_of(256);
    Decoded d = decode_exact(w, w.size(), rec.get(), 256);
    EXPECT_TRUE(d.xdr.oversized);
    EXPECT_EQ(d.xdr.cursor, 256);

    auto tiny = record_of(100);
    Decoded none = decode_exact(w, w.size(), tiny.get(), 100);
    EXPECT_TRUE(none.xdr.oversized);
    EXPECT_EQ(none.xdr.cursor, 0);
}

TEST(DblkBounds, OsInfoRunningPastTheBlockIsReversedOnlyInside) {
    Bytes w = file_wire_image("abc");
    put16le(w, 146, 236);  // os_spec_info: only 4 bytes left in the block
    auto rec = record_of(240);
    Decoded d = decode_exact(w, w.size(), rec.get(), 240);
    EXPECT_FALSE(grfs_xdr_failed(&d.xdr));
    // the one field inside the block (236..239) was reversed
    EXPECT_EQ(Bytes(dblk_bytes(rec.get()) + 236, dblk_bytes(rec.get()) + 240),
              (Bytes{w[239], w[238], w[237], w[236]}));

    put16le(w, 146, 65535);
    auto far = record_of(240);
    decode_exact(w, w.size(), far.get(), 240);
    EXPECT_EQ(std::memcmp(dblk_bytes(far.get()) + 176, w.data() + 176, 64), 0);
}

TEST(DblkBounds, OsInfoPointingIntoTheFixedPartLeavesItAlone) {
    Bytes w = file_wire_image("abc");
    put16le(w, 146, 140);
    auto rec = record_of(kMaxDblkSize);
    decode_exact(w, w.size(), rec.get(), kMaxDblkSize);
    EXPECT_EQ(rec->dblk_actual_size, 240);
    EXPECT_EQ(rec->os_spec_size, 56);
    EXPECT_EQ(rec->gen_attr, 0x21u);
}

TEST(DblkBounds, SwapTracesOnceWhenOutside) {
    auto d = record_of(kMaxDblkSize, 0);
    make_file_dblk(*d, "abc");
    d->os_spec_info = 230;
    TraceCapture trace(DBG_DATA);
    ByteSwapOSInfo(d.get());
    std::string lines = trace.lines();
    const std::string warning = "OS-specific information at 230 lies outside the block (dblk_actual_size=240)\n";
    size_t first = lines.find(warning);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(lines.find(warning, first + 1), std::string::npos);
}

TEST(DblkBounds, FillReadsZeroPastTheBlock) {
    auto full = record_of(kMaxDblkSize, 0);
    make_file_dblk(*full, "abc");
    auto d = record_of(240, 0);
    std::memcpy(d.get(), full.get(), 240);
    d->os_spec_info = 230;
    UNIX_FILE_OS_INFO info;
    FillFileInfoFromDblk(&info, d.get(), 240);
    EXPECT_EQ(std::memcmp(&info, dblk_bytes(d.get()) + 230, 10), 0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_nlink, 0u);  // versioned: copied as is, nothing there

    UNIX_DIR_OS_INFO dinfo;
    d->dblk_type = DDB_ID;
    d->type_part.ddb.path_leng = 0;
    d->os_spec_info = 65535;
    FillDirInfoFromDblk(&dinfo, d.get(), 240);
    EXPECT_EQ(dinfo.st_dev, 0u);
}

TEST(DblkBounds, EncodingNeverReadsPastTheRecord) {
    auto d = record_of(256, 0);
    std::memset(d.get(), 0, 256);
    d->dblk_type = FDB_ID;
    d->dblk_actual_size = 300;
    Bytes out(512, 0xAA);
    GRFS_XDR x{};
    grfs_set_xdr_direction(&x, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&x, out.data(), static_cast<int>(out.size()));
    TraceCapture quiet(0);
    EXPECT_EQ(grfs_xdr_GRFS_GEN_DBLK(&x, d.get(), 256), 300);
    EXPECT_TRUE(x.oversized);
    EXPECT_EQ(x.cursor, 256);
    EXPECT_EQ(out[256], 0xAA);
}

TEST(DblkBounds, EncodingIntoAShortBufferStopsAtItsLimit) {
    auto d = record_of(kMaxDblkSize, 0);
    make_dir_dblk(*d, "x/abc");
    Bytes out(300, 0xAA);
    GRFS_XDR x{};
    grfs_set_xdr_direction(&x, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&x, out.data(), 200);
    TraceCapture quiet(0);
    EXPECT_EQ(grfs_xdr_GRFS_GEN_DBLK(&x, d.get()), 248);
    EXPECT_TRUE(x.overrun);
    EXPECT_EQ(x.cursor, 200);
    for (size_t i = 200; i < out.size(); ++i) ASSERT_EQ(out[i], 0xAA) << i;
}

}  // namespace
