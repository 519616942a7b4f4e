// The wire form of messages pinned by exact bytes written by hand, the body
// lengths that go with them, and the catalogue names.
#include <gtest/gtest.h>

#include <string>

#include "dblk_test_images.h"
#include "grfs/messages.h"
#include "message_test_support.h"
#include "xdr_trace_capture.h"

namespace {

using namespace msg_test;

TEST(MessageGolden, HeaderIsLittleEndianAndHeaderOnlyRepliesHaveNoBody) {
    auto m = new_message();
    m->hdr = {GRFS_DETACH_DLE_STAT, 0, GRFS_RC_BAD_DLE_HANDLE, 0x01020304};
    Encoded e = encode(*m, 0);
    EXPECT_EQ(hex(e.bytes), "44 00 1A FE 04 03 02 01 ");
    EXPECT_EQ(e.length, 0);
    // A stated length does not give a header-only reply a body.
    for (int type : {68, 71, 72, 78, 79, 81, 82, 84}) {
        m->hdr = {static_cast<uint8_t>(type), 0, GRFS_RC_SUCCESS, 9};
        Encoded h = encode(*m, 12);
        EXPECT_EQ(h.bytes.size(), 8u) << type;
        EXPECT_EQ(h.length, 0) << type;
        EXPECT_EQ(h.status, GRFS_CODE_COMPLETE);
    }
}

TEST(MessageGolden, ReadObjCodes18BytesAndStates12) {
    auto m = new_message();
    m->hdr = {GRFS_READ_OBJ, 0, 0, 0x12345678};
    m->body.read_obj = {0x11223344, 512, 4096};
    Encoded e = encode(*m, 12);
    EXPECT_EQ(hex(e.bytes), "0A 00 00 00 78 56 34 12 44 33 22 11 00 02 00 10 00 00 ");
    EXPECT_EQ(e.length, 12);

    // 20 bytes received: the two trailing bytes are ignored.
    Bytes wire = Wire().hdr(10, 0, 0x12345678).u32(0x11223344).u16(512).u32(4096).u16(0xEEEE).bytes();
    Decoded d = decode(wire);
    EXPECT_EQ(d.status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(d.length, 12);
    EXPECT_EQ(d.msg->body.read_obj.obj_id, 0x11223344u);
    EXPECT_EQ(d.msg->body.read_obj.size, 512);
    EXPECT_EQ(d.msg->body.read_obj.offset, 4096u);
}

TEST(MessageGolden, SuccessfulAttachReplyIs30BytesAndAFailedOneIs8) {
    auto m = new_message();
    m->hdr = {GRFS_ATTACH_DLE_STAT, 0, GRFS_RC_SUCCESS, 3};
    auto& s = m->body.attach_dle_stat;
    s.dle_id = 0x00010002;
    s.max_connects = 1;
    s.opens_per_connect = 1;
    s.dle_capability = 0x000C;
    s.max_obj_bsize = 31744;
    s.supports_children = 1;
    s.path_len = 1;
    s.cmpr_type = 0;
    s.path[0] = '\0';
    Encoded e = encode(*m, 22);
    EXPECT_EQ(hex(e.bytes),
              "41 00 00 00 03 00 00 00 "
              "02 00 01 00 01 00 01 00 0C 00 00 7C 01 00 01 00 00 00 00 ");
    EXPECT_EQ(e.length, 22);
    EXPECT_EQ(8 + e.length, 30);

    m->hdr.retcode = GRFS_RC_ACCESS_DENIED;
    Encoded f = encode(*m, 0);
    EXPECT_EQ(hex(f.bytes), "41 00 05 FE 03 00 00 00 ");
    EXPECT_EQ(f.length, 0);
}

TEST(MessageGolden, FindDleReplyWithBooleansAsTwoBytes) {
    auto m = new_message();
    m->hdr = {GRFS_FIND_DLE_STAT, 0, 0, 1};
    auto& s = m->body.find_dle_stat;
    std::strcpy(s.dle_name, "HOME");
    s.path_delim = '/';
    s.password_req = 1;
    s.user_req = 0;
    s.writable = 1;
    s.reserved_flag = 1;
    s.os_id = 20;
    s.os_ver = 0;
    s.fs_type = 0x0102;
    s.more = 1;
    Encoded e = encode(*m, 146);
    Bytes expected = Wire()
                         .hdr(66, 0, 1)
                         .field("HOME", 128)
                         .u8('/')
                         .u8(0)
                         .u16(1)
                         .u16(0)
                         .u16(1)
                         .u16(1)
                         .u8(20)
                         .u8(0)
                         .u16(0x0102)
                         .u8(0)
                         .u8(0)
                         .raw(Bytes{0x01, 0x00})  // BOOLEAN 1
                         .bytes();
    EXPECT_EQ(e.bytes, expected);
    EXPECT_EQ(e.length, 146);
    m->hdr.retcode = GRFS_RC_NOT_FOUND;
    EXPECT_EQ(encode(*m, 0).bytes.size(), 8u);
}

// A file block without Unix information, 200 bytes long.
void make_plain_200(GRFS_GEN_DBLK& d) {
    std::memset(&d, 0, sizeof d);
    d.dblk_type = FDB_ID;
    d.os_id = 20;
    d.size = {5, 0};
    d.dblk_actual_size = 200;
    d.type_part.fdb.os_name = 180;
    d.type_part.fdb.name = 180;
    std::strcpy(reinterpret_cast<char*>(dblk_bytes(&d)) + 180, "hello");
}

TEST(MessageGolden, FindObjReplyIs10BytesOnFailureAnd212WithA200ByteBlock) {
    auto m = new_message();
    m->hdr = {GRFS_FIND_OBJ_STAT, 0, GRFS_RC_NOT_FOUND, 0x0A0B0C0D};
    m->body.find_obj_stat.more = 0;
    Encoded f = encode(*m, 2);
    EXPECT_EQ(hex(f.bytes), "45 00 07 FE 0D 0C 0B 0A 00 00 ");
    EXPECT_EQ(f.length, 2);

    m->hdr.retcode = 0;
    m->body.find_obj_stat.more = 1;
    make_plain_200(m->body.find_obj_stat.dblk);
    Encoded e = encode(*m, 204);
    ASSERT_EQ(e.bytes.size(), 212u);
    EXPECT_EQ(e.length, 204);
    Bytes block(200, 0);
    block[0] = 9;
    block[60] = 20;
    block[128] = 5;
    block[150] = 200;
    block[170] = 180;
    block[172] = 180;
    std::memcpy(block.data() + 180, "hello", 6);
    Bytes expected = Wire().hdr(69, 0, 0x0A0B0C0D).u16(1).u8(0).u8(0).raw(block).bytes();
    EXPECT_EQ(e.bytes, expected);
}

TEST(MessageGolden, DblkReplyCarriesBigEndianOsInfoInALittleEndianBlock) {
    auto m = new_message();
    m->hdr = {GRFS_GET_OBJ_INFO_STAT, 0, 0, 5};
    dblk_test::make_file_dblk(m->body.dblk_stat.dblk, "file.txt");
    Encoded e = encode(*m, 245);
    Bytes expected = Wire().hdr(80, 0, 5).raw(dblk_test::file_wire_image("file.txt")).bytes();
    EXPECT_EQ(e.bytes, expected);
    EXPECT_EQ(e.length, 245);
    // On failure the block is not coded.
    for (int type : {80, 83, 88}) {
        m->hdr = {static_cast<uint8_t>(type), 0, GRFS_RC_NO_SUCH_FILE, 5};
        Encoded f = encode(*m, 0);
        EXPECT_EQ(f.bytes.size(), 8u);
        EXPECT_EQ(f.length, 0);
    }
}

TEST(MessageGolden, OpenReplyCarriesTheBlockOnSuccessAndWarningOnly) {
    auto m = new_message();
    for (int rc : {0, -496, -504}) {
        m->hdr = {GRFS_OPEN_OBJ_STAT, 0, static_cast<int16_t>(rc), 6};
        m->body.open_obj_stat.obj_id = 0x44332211;
        make_plain_200(m->body.open_obj_stat.dblk);
        Encoded e = encode(*m, 204);
        const bool with_block = rc == 0 || rc == -496;
        EXPECT_EQ(e.bytes.size(), with_block ? 212u : 12u) << rc;
        EXPECT_EQ(e.length, with_block ? 204 : 4) << rc;
        EXPECT_EQ(hex(Bytes(e.bytes.begin() + 8, e.bytes.begin() + 12)), "11 22 33 44 ");
    }
}

TEST(MessageGolden, GetInfoReplyIsAlways264Bytes) {
    auto m = new_message();
    m->hdr = {GRFS_GET_INFO_STAT, 0, 0, 77};
    auto& s = m->body.get_info_stat;
    s.ver = 1;
    s.len = 40;
    s.local_time = {1, 2024, 3, 15, 10, 20, 30, 5};
    s.universal_time = {1, 2024, 3, 15, 9, 20, 30, 5};
    Encoded e = encode(*m, 256);
    Bytes expected = Wire()
                         .hdr(93, 0, 77)
                         .u32(1)
                         .u32(40)
                         .raw(Bytes{1, 0, 0xE8, 7, 3, 0, 15, 0, 10, 0, 20, 0, 30, 0, 5, 0})
                         .raw(Bytes{1, 0, 0xE8, 7, 3, 0, 15, 0, 9, 0, 20, 0, 30, 0, 5, 0})
                         .zeros(216)
                         .bytes();
    EXPECT_EQ(e.bytes, expected);
    EXPECT_EQ(e.bytes.size(), 264u);
    EXPECT_EQ(e.length, 256);
}

TEST(MessageGolden, SeekLargeReplyCarriesBothHalves) {
    auto m = new_message();
    m->hdr = {GRFS_SEEK_OBJ_LARGE_STAT, 0, 0, 2};
    m->body.seek_obj_large_stat.seek_offset = {0x89ABCDEF, 0x01234567};
    Encoded e = encode(*m, 8);
    EXPECT_EQ(hex(e.bytes), "5B 00 00 00 02 00 00 00 EF CD AB 89 67 45 23 01 ");
    EXPECT_EQ(e.length, 8);
    m->hdr.retcode = GRFS_RC_END_OF_DATA;
    Encoded f = encode(*m, 8);
    EXPECT_EQ(f.bytes.size(), 8u);
    EXPECT_EQ(f.length, 0);
    // The 32-bit seek reply behaves the same way.
    m->hdr = {GRFS_SEEK_OBJ_STAT, 0, 0, 2};
    m->body.seek_obj_stat.seek_offset = 0x01020304;
    EXPECT_EQ(hex(encode(*m, 4).bytes), "4C 00 00 00 02 00 00 00 04 03 02 01 ");
}

TEST(MessageGolden, DataRepliesAreAlwaysCoded) {
    auto m = new_message();
    m->hdr = {GRFS_READ_OBJ_STAT, 0, GRFS_RC_END_OF_DATA, 4};
    auto& r = m->body.read_obj_stat;
    r.size = 3;
    r.blk_size = 1;
    r.stream_info = {0x41544144, 2, 0, {0x100, 0}};
    std::memcpy(r.data, "xyz", 3);
    Encoded e = encode(*m, 23);
    EXPECT_EQ(e.bytes,
              Wire().hdr(74, -500, 4).u16(3).u16(1).stream(0x41544144, 2, 0, 0x100, 0).raw("xyz").bytes());
    EXPECT_EQ(e.length, 23);

    m->hdr = {GRFS_READ_OBJ_LARGE_STAT, 0, 0, 4};
    auto& l = m->body.read_obj_large_stat;
    l.size = 2;
    l.blk_size = 0x10000;
    l.stream_info = {1, 0, 0, {2, 3}};
    std::memcpy(l.data, "ab", 2);
    Encoded g = encode(*m, 26);
    EXPECT_EQ(g.bytes, Wire().hdr(89, 0, 4).u32(2).u32(0x10000).stream(1, 0, 0, 2, 3).raw("ab").bytes());
    EXPECT_EQ(g.length, 26);

    m->hdr = {GRFS_VERIFY_OBJ_STAT, 0, 0, 4};
    m->body.write_obj_stat = {0x1234, 1};
    EXPECT_EQ(hex(encode(*m, 4).bytes), "4D 00 00 00 04 00 00 00 34 12 01 00 ");
    m->hdr = {GRFS_VERIFY_OBJ_LARGE_STAT, 0, GRFS_RC_IO_ERROR, 4};
    m->body.write_obj_large_stat = {0x12345678, 1};
    Encoded v = encode(*m, 8);
    EXPECT_EQ(hex(v.bytes), "5C 00 0D FE 04 00 00 00 78 56 34 12 01 00 00 00 ");
    EXPECT_EQ(v.length, 8);
}

TEST(MessageGolden, ChangeDirWithSizeZeroCodesSixBodyBytes) {
    auto m = new_message();
    m->hdr = {GRFS_CHANGE_DIR, 0, 0, 1};
    m->body.change_dir.dle_id = 7;
    m->body.change_dir.size = 0;
    Encoded e = encode(*m, 9);
    EXPECT_EQ(hex(e.bytes), "12 00 00 00 01 00 00 00 07 00 00 00 00 00 ");
    EXPECT_EQ(e.length, 9);
}

TEST(MessageGolden, TypesWithoutLayoutCodeTheHeaderAndKeepTheStatedLength) {
    auto m = new_message();
    for (int type : {0, 21, 22, 23, 30, 64, 67, 70, 85, 86, 87, 94, 255}) {
        m->hdr = {static_cast<uint8_t>(type), 0, 0, 1};
        Encoded e = encode(*m, 40);
        EXPECT_EQ(e.bytes.size(), 8u) << type;
        EXPECT_EQ(e.length, 40) << type;
    }
    // Stated length 0 codes the header alone for any type.
    m->hdr = {GRFS_READ_OBJ, 0, 0, 1};
    Encoded z = encode(*m, 0);
    EXPECT_EQ(z.bytes.size(), 8u);
    EXPECT_EQ(z.length, 0);
}

TEST(MessageGolden, TraceLinesOfTheCoder) {
    auto m = new_message();
    m->hdr = {GRFS_FIND_NEXT_OBJ, 0, 0, 1};
    make_plain_200(m->body.dblk_req.dblk);
    Bytes buf(512);
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&xdr, buf.data(), 512);
    TraceCapture cap(DBG_CONFIG);
    EXPECT_EQ(grfs_xdr_message(&xdr, m.get(), 204), 204);
    EXPECT_EQ(cap.lines(),
              "grfs_xdr_message: spec_msg_size=204 msg_type=0x6\n"
              "after xdr_GRFS_GEN_DBLK(): should_be_size=204\n");

    // The open request has a block but no such line; other classes stay quiet.
    m->hdr = {GRFS_OPEN_OBJ, 0, 0, 1};
    make_plain_200(m->body.open_obj.dblk);
    grfs_set_xdr_buffer(&xdr, buf.data(), 512);
    TraceCapture cap2(DBG_CONFIG);
    EXPECT_EQ(grfs_xdr_message(&xdr, m.get(), 208), 208);
    EXPECT_EQ(cap2.lines(), "grfs_xdr_message: spec_msg_size=208 msg_type=0x9\n");

    grfs_set_xdr_buffer(&xdr, buf.data(), 512);
    TraceCapture cap3(static_cast<uint16_t>(~DBG_CONFIG));
    grfs_xdr_message(&xdr, m.get(), 208);
    EXPECT_EQ(cap3.lines(), "");
}

TEST(MessageNames, CatalogueAndUnknownTypes) {
    EXPECT_STREQ(type_to_str(66), "GRFS_FIND_DLE_STAT");
    EXPECT_STREQ(type_to_str(67), "** Unknown type 67 **");
    EXPECT_STREQ(type_to_str(1), "GRFS_ATTACH_DLE");
    EXPECT_STREQ(type_to_str(29), "GRFS_GET_INFO");
    EXPECT_STREQ(type_to_str(93), "GRFS_GET_INFO_STAT");
    EXPECT_STREQ(type_to_str(0), "** Unknown type 0 **");
    EXPECT_STREQ(type_to_str(-3), "** Unknown type -3 **");
    for (int t : {30, 64, 70, 86, 94}) EXPECT_EQ(std::string(type_to_str(t)), "** Unknown type " + std::to_string(t) + " **");

    ASSERT_EQ(msg_type_str_array_size, 55);
    const int order[55] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                           20, 21, 22, 23, 65, 66, 68, 69, 71, 72, 73, 74, 75, 76, 77, 78, 79, 80, 81,
                           82, 83, 84, 85, 87, 24, 88, 25, 26, 27, 28, 89, 90, 91, 92, 29, 93};
    for (int i = 0; i < 55; ++i) EXPECT_EQ(msg_type_str_array[i].type, order[i]) << i;

    const std::pair<int, const char*> names[] = {
        {2, "GRFS_FIND_FIRST_DLE"},       {3, "GRFS_FIND_NEXT_DLE"},       {4, "GRFS_DETACH_DLE"},
        {5, "GRFS_FIND_FIRST_OBJ"},       {6, "GRFS_FIND_NEXT_OBJ"},       {7, "GRFS_FIND_CLOSE"},
        {8, "GRFS_CREATE_OBJ"},           {9, "GRFS_OPEN_OBJ"},            {10, "GRFS_READ_OBJ"},
        {11, "GRFS_WRITE_OBJ"},           {12, "GRFS_SEEK_OBJ"},           {13, "GRFS_VERIFY_OBJ"},
        {14, "GRFS_CLOSE_OBJ"},           {15, "GRFS_DELETE_OBJ"},         {16, "GRFS_GET_OBJ_INFO"},
        {17, "GRFS_VERIFY_OBJ_INFO"},     {18, "GRFS_CHANGE_DIR"},         {19, "GRFS_GET_CUR_DDB"},
        {20, "GRFS_SET_OBJ_INFO"},        {21, "GRFS_ENUM_SPECIAL_FIRST"}, {22, "GRFS_ENUM_SPECIAL_NEXT"},
        {23, "GRFS_SPECIAL_EXCLUDE"},     {24, "GRFS_PREPARE_DBLK"},       {25, "GRFS_READ_OBJ_LARGE"},
        {26, "GRFS_WRITE_OBJ_LARGE"},     {27, "GRFS_SEEK_OBJ_LARGE"},     {28, "GRFS_VERIFY_OBJ_LARGE"},
        {65, "GRFS_ATTACH_DLE_STAT"},     {68, "GRFS_DETACH_DLE_STAT"},    {69, "GRFS_FIND_OBJ_STAT"},
        {71, "GRFS_FIND_CLOSE_STAT"},     {72, "GRFS_CREATE_OBJ_STAT"},    {73, "GRFS_OPEN_OBJ_STAT"},
        {74, "GRFS_READ_OBJ_STAT"},       {75, "GRFS_WRITE_OBJ_STAT"},     {76, "GRFS_SEEK_OBJ_STAT"},
        {77, "GRFS_VERIFY_OBJ_STAT"},     {78, "GRFS_CLOSE_OBJ_STAT"},     {79, "GRFS_DELETE_OBJ_STAT"},
        {80, "GRFS_GET_OBJ_INFO_STAT"},   {81, "GRFS_VERIFY_OBJ_INFO_STAT"}, {82, "GRFS_CHANGE_DIR_STAT"},
        {83, "GRFS_GET_CUR_DDB_STAT"},    {84, "GRFS_SET_OBJ_INFO_STAT"},  {85, "GRFS_ENUM_SPECIAL_STAT"},
        {87, "GRFS_SPECIAL_EXCLUDE_STAT"}, {88, "GRFS_PREPARE_DBLK_STAT"}, {89, "GRFS_READ_OBJ_LARGE_STAT"},
        {90, "GRFS_WRITE_OBJ_LARGE_STAT"}, {91, "GRFS_SEEK_OBJ_LARGE_STAT"}, {92, "GRFS_VERIFY_OBJ_LARGE_STAT"},
    };
    for (const auto& [type, name] : names) EXPECT_STREQ(type_to_str(type), name) << type;
}

}  // namespace
