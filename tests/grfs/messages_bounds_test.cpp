// Requests that are cut short or whose length fields lie: decoding stays
// inside the received bytes and the record, and says the request is not
// complete. Buffers are allocated to their exact size and records on the
// heap, so that the sanitizer build turns any stray access into a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "dblk_test_images.h"
#include "grfs/messages.h"
#include "message_test_support.h"
#include "request_images.h"

namespace {

using namespace msg_test;

TEST(MessageBounds, EveryRequestCutAtEveryByteIsIncomplete) {
    for (const RequestImage& img : all_request_images()) {
        SCOPED_TRACE(type_to_str(img.type));
        for (size_t n = 0; n < img.coded; ++n) {
            Decoded d = decode(img.wire, n);
            ASSERT_EQ(d.status, GRFS_CODE_INCOMPLETE) << "cut at " << n;
        }
        for (size_t n = img.coded; n <= img.wire.size(); ++n) EXPECT_EQ(decode(img.wire, n).status, GRFS_CODE_COMPLETE) << n;
    }
}

TEST(MessageBounds, CutRequestsIntoAReusedRecordAreNeverComplete) {
    // The coder itself, on a record full of stale bytes: whatever the stale
    // lengths say, a cut request is not complete and nothing outside the
    // buffers is touched.
    auto m = new_message();
    for (const RequestImage& img : all_request_images()) {
        for (size_t n = 0; n < img.coded; n += 3) {
            std::memset(m.get(), 0xFF, sizeof *m);
            std::unique_ptr<unsigned char[]> in(new unsigned char[n == 0 ? 1 : n]);
            if (n > 0) std::memcpy(in.get(), img.wire.data(), n);
            GRFS_XDR xdr{};
            grfs_set_xdr_direction(&xdr, GRFS_XDR_DECODE);
            grfs_set_xdr_buffer(&xdr, in.get(), static_cast<int>(n));
            GrfsCodeStatus status = GRFS_CODE_COMPLETE;
            TraceCapture quiet(0);
            grfs_xdr_message(&xdr, m.get(), static_cast<int>(n) + 1, &status);
            EXPECT_NE(status, GRFS_CODE_COMPLETE) << type_to_str(img.type) << " cut at " << n;
        }
    }
}

// What a handler may read of a received block: its fixed part, and its
// variable area as far as dblk_actual_size reaches.
size_t block_extent(const GRFS_GEN_DBLK& dblk) {
    return std::max(dblk_extent(&dblk), static_cast<size_t>(GRFS_DBLK_NET_SIZE));
}

TEST(MessageBounds, DecodingIntoAStaleRecordClearsEveryFieldNotReceived) {
    // The session decodes every request into one record: what an earlier,
    // longer request left there must not show through a shorter one.
    auto m = new_message();
    for (const RequestImage& img : all_request_images()) {
        SCOPED_TRACE(type_to_str(img.type));
        for (size_t n : {size_t{8}, img.coded}) {
            std::memset(m.get(), 0xFF, sizeof *m);
            TraceCapture quiet(0);
            grfs_decode_request(std::span<const unsigned char>(img.wire.data(), n), m.get());
            // Compare with a decode into a clean record, over every byte a
            // length field of the decoded request lets a handler read.
            auto clean = new_message();
            grfs_decode_request(std::span<const unsigned char>(img.wire.data(), n), clean.get());
            size_t readable = offsetof(GRFS_MESSAGE, body);
            switch (img.type) {
            case GRFS_WRITE_OBJ:
            case GRFS_VERIFY_OBJ:
                readable += offsetof(GRFS_WRITE_OBJ_BODY, data) + clean->body.write_obj.size;
                break;
            case GRFS_WRITE_OBJ_LARGE:
            case GRFS_VERIFY_OBJ_LARGE:
                readable += offsetof(GRFS_WRITE_OBJ_LARGE_BODY, data) + clean->body.write_obj_large.size;
                break;
            case GRFS_CHANGE_DIR:
                readable += offsetof(GRFS_CHANGE_DIR_BODY, net_path) +
                            static_cast<size_t>(std::max<int>(clean->body.change_dir.size, 0));
                break;
            case GRFS_OPEN_OBJ:
                readable += offsetof(GRFS_OPEN_OBJ_BODY, dblk) + block_extent(clean->body.open_obj.dblk);
                break;
            case GRFS_FIND_NEXT_OBJ:
            case GRFS_FIND_CLOSE:
            case GRFS_CREATE_OBJ:
            case GRFS_DELETE_OBJ:
            case GRFS_GET_OBJ_INFO:
            case GRFS_VERIFY_OBJ_INFO:
            case GRFS_SET_OBJ_INFO:
            case GRFS_PREPARE_DBLK:
                readable += offsetof(GRFS_DBLK_REQ_BODY, dblk) + block_extent(clean->body.dblk_req.dblk);
                break;
            default:
                // The largest body without a data array or a block.
                readable += sizeof(GRFS_ATTACH_DLE_BODY);
                break;
            }
            ASSERT_LE(readable, sizeof(GRFS_MESSAGE));
            EXPECT_EQ(std::memcmp(m.get(), clean.get(), readable), 0) << "after " << n << " bytes";
        }
    }
}

// A write request whose size field says `claimed`, followed by `present`
// data bytes.
Bytes write_with(unsigned claimed, size_t present) {
    Wire w;
    w.hdr(GRFS_WRITE_OBJ, 0, 1).u32(2).u32(3).stream(4, 5, 6, 7, 8).u16(claimed);
    for (size_t i = 0; i < present; ++i) w.u8(static_cast<unsigned>(i * 31));
    return w.bytes();
}

TEST(MessageBounds, WriteSizeAtZeroAtTheLimitAndPastIt) {
    Decoded z = decode(write_with(0, 0));
    EXPECT_EQ(z.status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(z.length, 28);

    // The largest message the agent receives.
    const size_t at_limit = GRFS_MAX_MSG_SIZE - 34;
    Decoded full = decode(write_with(at_limit, at_limit));
    ASSERT_EQ(full.status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(full.msg->body.write_obj.size, at_limit);
    EXPECT_EQ(static_cast<unsigned char>(full.msg->body.write_obj.data[at_limit - 1]),
              static_cast<unsigned char>((at_limit - 1) * 31));

    // One byte more claimed than received.
    EXPECT_EQ(decode(write_with(at_limit + 1, at_limit)).status, GRFS_CODE_INCOMPLETE);
    EXPECT_EQ(decode(write_with(1, 0)).status, GRFS_CODE_INCOMPLETE);
    // Claimed beyond the record's room.
    Decoded far = decode(write_with(0xFFFF, at_limit));
    EXPECT_EQ(far.status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(far.length, 0xFFFF + 28);
    EXPECT_EQ(decode(write_with(0xFFFF, 10)).status, GRFS_CODE_OVERSIZED);
    // More bytes received than the record holds: only the room is filled.
    Decoded over = decode(write_with(0xFFFF, 40000));
    EXPECT_EQ(over.status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(static_cast<unsigned char>(over.msg->body.write_obj.data[GRFS_MSG_DATA_MAX - 1]),
              static_cast<unsigned char>((GRFS_MSG_DATA_MAX - 1) * 31));
}

Bytes write_large_with(uint32_t claimed, size_t present, int type = GRFS_WRITE_OBJ_LARGE) {
    Wire w;
    w.hdr(type, 0, 1).u32(2).u64(3, 0).stream(4, 5, 6, 7, 8).u32(claimed);
    w.zeros(present);
    return w.bytes();
}

TEST(MessageBounds, LargeWriteSizeAtZeroAtTheLimitAndPastIt) {
    for (int type : {GRFS_WRITE_OBJ_LARGE, GRFS_VERIFY_OBJ_LARGE}) {
        EXPECT_EQ(decode(write_large_with(0, 0, type)).status, GRFS_CODE_COMPLETE);
        const size_t at_limit = GRFS_MAX_MSG_SIZE - 40;
        EXPECT_EQ(decode(write_large_with(at_limit, at_limit, type)).status, GRFS_CODE_COMPLETE);
        EXPECT_EQ(decode(write_large_with(at_limit + 1, at_limit, type)).status, GRFS_CODE_INCOMPLETE);
        for (uint32_t claimed : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, static_cast<uint32_t>(GRFS_MSG_DATA_MAX) + 1}) {
            Decoded d = decode(write_large_with(claimed, at_limit, type));
            EXPECT_EQ(d.status, GRFS_CODE_OVERSIZED) << claimed;
            EXPECT_GT(d.length, 0);  // the body length never wraps
        }
        EXPECT_EQ(decode(write_large_with(0xFFFFFFFF, 40000, type)).status, GRFS_CODE_OVERSIZED);
    }
}

Bytes change_dir_with(unsigned claimed, size_t present) {
    Wire w;
    w.hdr(GRFS_CHANGE_DIR, 0, 1).u32(2).u16(claimed);
    for (size_t i = 0; i < present; ++i) w.u8('a' + i % 26);
    return w.bytes();
}

TEST(MessageBounds, ChangeDirSizeAtZeroNegativeAtTheLimitAndPastIt) {
    EXPECT_EQ(decode(change_dir_with(0, 0)).status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(decode(change_dir_with(0x8000, 0)).status, GRFS_CODE_COMPLETE);  // -32768: no path
    const size_t at_limit = GRFS_MAX_MSG_SIZE - 14;
    EXPECT_EQ(decode(change_dir_with(at_limit, at_limit)).status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(decode(change_dir_with(at_limit + 1, at_limit)).status, GRFS_CODE_INCOMPLETE);
    EXPECT_EQ(decode(change_dir_with(0x7FFF, at_limit)).status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(decode(change_dir_with(0x7FFF, 3)).status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(decode(change_dir_with(0x7FFF, 0x7FFF)).status, GRFS_CODE_OVERSIZED);
}

// A create request carrying a plain file block whose dblk_actual_size says
// `claimed`, with `present` bytes of block on the wire.
Bytes create_with(unsigned claimed, size_t present) {
    dblk_test::Bytes block(present, 0);
    for (size_t i = 176; i < present; ++i) block[i] = static_cast<unsigned char>(i);
    if (present > 0) block[0] = FDB_ID;
    if (present > 151) dblk_test::put16le(block, 150, claimed);
    return Wire().hdr(GRFS_CREATE_OBJ, 0, 1).u32(2).raw(block).bytes();
}

TEST(MessageBounds, BlockSizeAtZeroAtTheLimitAndPastIt) {
    EXPECT_EQ(decode(create_with(0, 176)).status, GRFS_CODE_INCOMPLETE);    // less than its fixed part
    EXPECT_EQ(decode(create_with(175, 176)).status, GRFS_CODE_INCOMPLETE);
    EXPECT_EQ(decode(create_with(176, 176)).status, GRFS_CODE_COMPLETE);
    Decoded full = decode(create_with(kMaxDblkSize, kMaxDblkSize));
    ASSERT_EQ(full.status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(full.length, kMaxDblkSize + 4);
    EXPECT_EQ(full.msg->body.dblk_req.dblk.var_area[kDblkVarAreaSize - 1],
              static_cast<unsigned char>(kMaxDblkSize - 1));
    EXPECT_EQ(decode(create_with(kMaxDblkSize + 1, kMaxDblkSize)).status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(decode(create_with(kMaxDblkSize + 1, kMaxDblkSize + 1)).status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(decode(create_with(0xFFFF, 300)).status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(decode(create_with(0xFFFF, 0xFFFF)).status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(decode(create_with(300, 299)).status, GRFS_CODE_INCOMPLETE);
}

TEST(MessageBounds, BlockAsLargeAsTheMessageAllows) {
    // The largest request: 8 + 4 + the block = 32068 bytes.
    ASSERT_EQ(kMaxDblkSize, 32056);
    Decoded big = decode(create_with(8000, 8000));
    ASSERT_EQ(big.status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(big.msg->body.dblk_req.dblk.var_area[8000 - 177], static_cast<unsigned char>(7999));
    EXPECT_EQ(decode(create_with(32056, 32056)).status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(decode(create_with(32057, 32057)).status, GRFS_CODE_OVERSIZED);
}

TEST(MessageBounds, BlockWithoutTypePartIsWholeWithIts168Bytes) {
    for (int type : {0, 1, 2, 10, 11, 200}) {
        SCOPED_TRACE(type);
        dblk_test::Bytes block(168, 0);
        block[0] = static_cast<unsigned char>(type);
        dblk_test::put16le(block, 150, 168);
        Decoded d = decode(Wire().hdr(GRFS_CREATE_OBJ, 0, 1).u32(2).raw(block).bytes());
        EXPECT_EQ(d.status, GRFS_CODE_COMPLETE);
        EXPECT_EQ(d.length, 172);
        block.resize(167);
        EXPECT_EQ(decode(Wire().hdr(GRFS_CREATE_OBJ, 0, 1).u32(2).raw(block).bytes()).status, GRFS_CODE_INCOMPLETE);
        block.resize(168);
        dblk_test::put16le(block, 150, 167);
        EXPECT_EQ(decode(Wire().hdr(GRFS_CREATE_OBJ, 0, 1).u32(2).raw(block).bytes()).status, GRFS_CODE_INCOMPLETE);
    }
}

TEST(MessageBounds, LengthFieldsOfRepliesAreBoundedToo) {
    auto attach = [](unsigned path_len, size_t present) {
        Wire w;
        w.hdr(GRFS_ATTACH_DLE_STAT, 0, 1).u32(1).u16(1).u16(1).u16(12).u16(512).u16(1).u16(path_len).u16(0);
        w.zeros(present);
        return w.bytes();
    };
    EXPECT_EQ(decode(attach(0, 0)).status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(decode(attach(GRFS_ATTACH_PATH_MAX, GRFS_ATTACH_PATH_MAX)).status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(decode(attach(GRFS_ATTACH_PATH_MAX + 1, GRFS_ATTACH_PATH_MAX + 1)).status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(decode(attach(0xFFFF, 10)).status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(decode(attach(0xFFFF, 0xFFFF)).status, GRFS_CODE_OVERSIZED);

    auto read = [](unsigned size) {
        return Wire().hdr(GRFS_READ_OBJ_STAT, 0, 1).u16(size).u16(1).stream(1, 2, 3, 4, 5).zeros(100).bytes();
    };
    EXPECT_EQ(decode(read(100)).status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(decode(read(1000)).status, GRFS_CODE_INCOMPLETE);  // within the record's room, beyond the bytes
    EXPECT_EQ(decode(read(0xFFFF)).status, GRFS_CODE_OVERSIZED);
    Bytes large = Wire().hdr(GRFS_READ_OBJ_LARGE_STAT, 0, 1).u32(0xFFFFFFFF).u32(1).stream(1, 2, 3, 4, 5).zeros(100).bytes();
    EXPECT_EQ(decode(large).status, GRFS_CODE_OVERSIZED);

    dblk_test::Bytes block(200, 0);
    block[0] = FDB_ID;
    dblk_test::put16le(block, 150, 0xFFFF);
    Bytes find = Wire().hdr(GRFS_FIND_OBJ_STAT, 0, 1).u16(1).u8(0).u8(0).raw(block).bytes();
    EXPECT_EQ(decode(find).status, GRFS_CODE_OVERSIZED);
}

TEST(MessageBounds, EncodingStopsAtTheLimit) {
    auto m = new_message();
    m->hdr = {GRFS_READ_OBJ_STAT, 0, 0, 1};
    m->body.read_obj_stat.size = 100;
    std::memset(m->body.read_obj_stat.data, 'd', 100);
    Bytes buf(60, 0xEE);
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&xdr, buf.data(), 50);
    GrfsCodeStatus status = GRFS_CODE_COMPLETE;
    TraceCapture quiet(0);
    EXPECT_EQ(grfs_xdr_message(&xdr, m.get(), 120, &status), 120);  // the nominal length
    EXPECT_EQ(status, GRFS_CODE_INCOMPLETE);
    EXPECT_EQ(grfs_get_xdr_length(&xdr), 50);
    for (size_t i = 50; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE) << i;
}

TEST(MessageBounds, EncodingNeverReadsPastTheRecordsFields) {
    auto m = new_message();
    m->hdr = {GRFS_READ_OBJ_STAT, 0, 0, 1};
    m->body.read_obj_stat.size = 0xFFFF;
    Encoded e = encode(*m, 0xFFFF + 20, 70000);
    EXPECT_EQ(e.status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(e.bytes.size(), static_cast<size_t>(8 + 20 + GRFS_MSG_DATA_MAX));

    m->hdr = {GRFS_ATTACH_DLE_STAT, 0, 0, 1};
    m->body.attach_dle_stat.path_len = 1000;
    Encoded a = encode(*m, 1021, 2000);
    EXPECT_EQ(a.status, GRFS_CODE_OVERSIZED);
    EXPECT_EQ(a.bytes.size(), static_cast<size_t>(8 + 18 + GRFS_ATTACH_PATH_MAX));
}

TEST(MessageBounds, TheCoderKeepsFaultsOfEarlierRuns) {
    auto m = new_message();
    m->hdr = {GRFS_CLOSE_OBJ, 0, 0, 1};
    Bytes buf(64);
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&xdr, buf.data(), 64);
    xdr.overrun = true;
    GrfsCodeStatus status = GRFS_CODE_INCOMPLETE;
    grfs_xdr_message(&xdr, m.get(), 4, &status);
    EXPECT_EQ(status, GRFS_CODE_COMPLETE);  // this run went well
    EXPECT_TRUE(xdr.overrun);               // the earlier fault is still told
}

}  // namespace
