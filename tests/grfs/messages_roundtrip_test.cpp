// Encoding a record and decoding the bytes gives back the record, for every
// message type, with the body length that goes with it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dblk_test_images.h"
#include "grfs/messages.h"
#include "message_test_support.h"

namespace {

using namespace msg_test;

struct Case {
    int type;
    int retcode;
    std::function<void(GRFS_MESSAGE&)> fill;
    size_t compared;  // leading body bytes that must come back
    int length;       // body length of the message
};

void fill_pattern(void* p, size_t n, unsigned seed) {
    auto* b = static_cast<unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(seed + i * 13);
}

void stream(GRFS_STREAM_INFO& s) { s = {0x41544144, 0x0102, 0x0304, {0x05060708, 0x090A0B0C}}; }

std::vector<Case> all_cases() {
    std::vector<Case> v;
    auto& B = v;
    // Requests.
    B.push_back({1, 0, [](GRFS_MESSAGE& m) {
                     auto& b = m.body.attach_dle;
                     fill_pattern(b.dle_name, sizeof b.dle_name, 1);
                     b.parent = 0x01020304;
                     b.vsc_flags = 0xF00F;
                     b.reason = 7;
                     b.bsize = 31744;
                     b.cmpr_type = 0x8001;
                     fill_pattern(b.user, sizeof b.user, 2);
                     fill_pattern(b.password, sizeof b.password, 3);
                 },
                 sizeof(GRFS_ATTACH_DLE_BODY), 316});
    for (int t : {2, 3, 4, 19})
        B.push_back({t, 0, [](GRFS_MESSAGE& m) { m.body.dle_req.dle_id = 0x80000001; }, sizeof(GRFS_DLE_REQ_BODY), 4});
    B.push_back({5, 0, [](GRFS_MESSAGE& m) {
                     m.body.find_first_obj.dle_id = 5;
                     m.body.find_first_obj.find_type = 2;
                     std::strcpy(m.body.find_first_obj.search_name, "*.txt");
                 },
                 sizeof(GRFS_FIND_FIRST_OBJ_BODY), 6 + 8});
    for (int t : {6, 7, 8, 15, 16, 17, 20, 24}) {
        B.push_back({t, 0, [t](GRFS_MESSAGE& m) {
                         m.body.dblk_req.dle_id = 0x1234;
                         if (t % 2)
                             dblk_test::make_dir_dblk(m.body.dblk_req.dblk, "a/b/c");
                         else
                             dblk_test::make_file_dblk(m.body.dblk_req.dblk, "name.ext");
                     },
                     sizeof(GRFS_DBLK_REQ_BODY), t % 2 ? 176 + 4 + 6 + 56 + 6 + 4 : 176 + 4 + 9 + 56 + 4});
    }
    B.push_back({9, 0, [](GRFS_MESSAGE& m) {
                     m.body.open_obj.dle_id = 9;
                     m.body.open_obj.mode = 1;
                     m.body.open_obj.open_reserved1 = 0xAB;
                     m.body.open_obj.open_reserved2 = 0xCD;
                     dblk_test::make_file_dblk(m.body.open_obj.dblk, "x");
                 },
                 sizeof(GRFS_OPEN_OBJ_BODY), 176 + 4 + 2 + 56 + 8});
    B.push_back({10, 0, [](GRFS_MESSAGE& m) { m.body.read_obj = {0x0B, 0xFFFF, 0xFFFFFFFF}; }, sizeof(GRFS_READ_OBJ_BODY), 12});
    for (int t : {11, 13}) {
        B.push_back({t, 0, [](GRFS_MESSAGE& m) {
                         auto& b = m.body.write_obj;
                         b.obj_id = 0x0C;
                         b.offset = 0x80000000;
                         stream(b.stream_info);
                         b.size = 31744;
                         fill_pattern(b.data, b.size, 4);
                     },
                     sizeof(GRFS_WRITE_OBJ_BODY), 31744 + 28});
    }
    B.push_back({12, 0, [](GRFS_MESSAGE& m) { m.body.seek_obj = {0x0D, 12345}; }, sizeof(GRFS_SEEK_OBJ_BODY), 8});
    B.push_back({14, 0, [](GRFS_MESSAGE& m) { m.body.close_obj = {0x0E}; }, sizeof(GRFS_CLOSE_OBJ_BODY), 4});
    B.push_back({18, 0, [](GRFS_MESSAGE& m) {
                     m.body.change_dir.dle_id = 0x12;
                     m.body.change_dir.size = 11;
                     std::memcpy(m.body.change_dir.net_path, "usr\0local\0", 11);
                 },
                 sizeof(GRFS_CHANGE_DIR_BODY), 20});
    B.push_back({25, 0, [](GRFS_MESSAGE& m) { m.body.read_obj_large = {0x19, 0x7FFFFFFF, {1, 0x80000000}}; },
                 sizeof(GRFS_READ_OBJ_LARGE_BODY), 16});
    for (int t : {26, 28}) {
        B.push_back({t, 0, [](GRFS_MESSAGE& m) {
                         auto& b = m.body.write_obj_large;
                         b.obj_id = 0x1A;
                         b.offset = {0xFFFFFFFF, 0xFFFFFFFE};
                         stream(b.stream_info);
                         b.size = 1000;
                         fill_pattern(b.data, b.size, 5);
                     },
                     sizeof(GRFS_WRITE_OBJ_LARGE_BODY), 1032});
    }
    B.push_back({27, 0, [](GRFS_MESSAGE& m) { m.body.seek_obj_large = {0x1B, {7, 8}}; }, sizeof(GRFS_SEEK_OBJ_LARGE_BODY), 12});
    B.push_back({29, 0, [](GRFS_MESSAGE& m) { m.body.get_info = {9, 10, {11, 12}}; }, sizeof(GRFS_GET_INFO_BODY), 16});

    // Replies.
    auto attach_stat = [](GRFS_MESSAGE& m) {
        auto& b = m.body.attach_dle_stat;
        b = {0x41, 1, 1, 0x0C, 512, 1, 5, 0, {}};
        std::memcpy(b.path, "a/b\0", 4);
        b.path[4] = 'z';  // the fifth byte counted by path_len
    };
    B.push_back({65, 0, attach_stat, sizeof(GRFS_ATTACH_DLE_STAT_BODY), 26});
    B.push_back({65, -507, attach_stat, 0, 0});
    auto find_dle_stat = [](GRFS_MESSAGE& m) {
        auto& b = m.body.find_dle_stat;
        fill_pattern(b.dle_name, sizeof b.dle_name, 6);
        b.path_delim = '/';
        b.dle_reserved = 0xEE;
        b.password_req = 1;
        b.user_req = 0;
        b.writable = 1;
        b.reserved_flag = 1;
        b.os_id = 20;
        b.os_ver = 0;
        b.fs_type = 0x1234;
        b.crypt_type = 1;
        b.cmpr_type = 2;
        b.more = 1;
    };
    B.push_back({66, 0, find_dle_stat, sizeof(GRFS_FIND_DLE_STAT_BODY), 146});
    B.push_back({66, -505, find_dle_stat, 0, 0});
    auto find_obj_stat = [](GRFS_MESSAGE& m) {
        m.body.find_obj_stat.more = 1;
        m.body.find_obj_stat.find_reserved1 = 3;
        m.body.find_obj_stat.find_reserved2 = 4;
        dblk_test::make_file_dblk(m.body.find_obj_stat.dblk, "found");
    };
    B.push_back({69, 0, find_obj_stat, sizeof(GRFS_FIND_OBJ_STAT_BODY), 176 + 4 + 6 + 56 + 4});
    B.push_back({69, -505, find_obj_stat, sizeof(BOOLEAN), 2});
    auto open_obj_stat = [](GRFS_MESSAGE& m) {
        m.body.open_obj_stat.obj_id = 0x49;
        dblk_test::make_dir_dblk(m.body.open_obj_stat.dblk, "d");
    };
    B.push_back({73, 0, open_obj_stat, sizeof(GRFS_OPEN_OBJ_STAT_BODY), 176 + 4 + 2 + 56 + 2 + 4});
    B.push_back({73, -496, open_obj_stat, sizeof(GRFS_OPEN_OBJ_STAT_BODY), 176 + 4 + 2 + 56 + 2 + 4});
    B.push_back({73, -507, open_obj_stat, sizeof(OBJ_HANDLE), 4});
    auto read_stat = [](GRFS_MESSAGE& m) {
        auto& b = m.body.read_obj_stat;
        b.size = 300;
        b.blk_size = 1;
        stream(b.stream_info);
        fill_pattern(b.data, 300, 7);
    };
    B.push_back({74, 0, read_stat, sizeof(GRFS_READ_OBJ_STAT_BODY), 320});
    B.push_back({74, -500, read_stat, sizeof(GRFS_READ_OBJ_STAT_BODY), 320});
    for (int t : {75, 77})
        B.push_back({t, 0, [](GRFS_MESSAGE& m) { m.body.write_obj_stat = {0xFFFF, 1}; }, sizeof(GRFS_WRITE_OBJ_STAT_BODY), 4});
    B.push_back({76, 0, [](GRFS_MESSAGE& m) { m.body.seek_obj_stat.seek_offset = 0xFEDCBA98; }, sizeof(GRFS_SEEK_OBJ_STAT_BODY), 4});
    B.push_back({76, -500, [](GRFS_MESSAGE& m) { m.body.seek_obj_stat.seek_offset = 1; }, 0, 0});
    for (int t : {80, 83, 88}) {
        auto fill = [](GRFS_MESSAGE& m) { dblk_test::make_dir_dblk(m.body.dblk_stat.dblk, "top"); };
        B.push_back({t, 0, fill, sizeof(GRFS_DBLK_STAT_BODY), 176 + 4 + 4 + 56 + 4});
        B.push_back({t, -504, fill, 0, 0});
    }
    B.push_back({89, 0, [](GRFS_MESSAGE& m) {
                     auto& b = m.body.read_obj_large_stat;
                     b.size = 31744;
                     b.blk_size = 512;
                     stream(b.stream_info);
                     fill_pattern(b.data, b.size, 8);
                 },
                 sizeof(GRFS_READ_OBJ_LARGE_STAT_BODY), 31744 + 24});
    for (int t : {90, 92})
        B.push_back({t, -499, [](GRFS_MESSAGE& m) { m.body.write_obj_large_stat = {0x80000000, 0x7FFFFFFF}; },
                     sizeof(GRFS_WRITE_OBJ_LARGE_STAT_BODY), 8});
    B.push_back({91, 0, [](GRFS_MESSAGE& m) { m.body.seek_obj_large_stat.seek_offset = {0xFFFFFFFF, 0x7FFFFFFF}; },
                 sizeof(GRFS_SEEK_OBJ_LARGE_STAT_BODY), 8});
    B.push_back({91, -500, [](GRFS_MESSAGE& m) { m.body.seek_obj_large_stat.seek_offset = {1, 1}; }, 0, 0});
    B.push_back({93, 0, [](GRFS_MESSAGE& m) {
                     auto& b = m.body.get_info_stat;
                     b.ver = 1;
                     b.len = 40;
                     b.local_time = {1, 2030, 6, 30, 13, 14, 15, 0};
                     b.universal_time = {1, 2030, 6, 30, 11, 14, 15, 0};
                     fill_pattern(b.info_reserved, sizeof b.info_reserved, 9);
                 },
                 sizeof(GRFS_GET_INFO_STAT_BODY), 256});
    for (int t : {68, 71, 72, 78, 79, 81, 82, 84}) B.push_back({t, -486, [](GRFS_MESSAGE&) {}, 0, 0});
    return v;
}

TEST(MessageRoundTrip, EveryTypeComesBack) {
    for (const Case& c : all_cases()) {
        SCOPED_TRACE(std::string(type_to_str(c.type)) + " retcode " + std::to_string(c.retcode));
        auto original = new_message();
        original->hdr = {static_cast<uint8_t>(c.type), 0x5C, static_cast<int16_t>(c.retcode), 0xDEAD0000u + c.type};
        c.fill(*original);
        auto sent = copy_message(*original);
        Encoded e = encode(*sent, c.length);
        ASSERT_EQ(e.status, GRFS_CODE_COMPLETE);
        EXPECT_EQ(e.length, c.length);

        Decoded d = decode(e.bytes);
        ASSERT_EQ(d.status, GRFS_CODE_COMPLETE);
        EXPECT_EQ(d.length, c.length);
        EXPECT_EQ(d.msg->hdr.msg_type, original->hdr.msg_type);
        EXPECT_EQ(d.msg->hdr.msg_reserved, 0x5C);
        EXPECT_EQ(d.msg->hdr.retcode, c.retcode);
        EXPECT_EQ(d.msg->hdr.request_id, original->hdr.request_id);
        EXPECT_EQ(std::memcmp(&d.msg->body, &original->body, c.compared), 0);

        // Coding the decoded record again gives the same bytes.
        Encoded again = encode(*d.msg, c.length);
        EXPECT_EQ(again.bytes, e.bytes);
    }
}

TEST(MessageRoundTrip, OsInfoIsInWireOrderAfterEncodingAndHostOrderAfterDecoding) {
    auto m = new_message();
    m->hdr = {GRFS_FIND_OBJ_STAT, 0, 0, 1};
    m->body.find_obj_stat.more = 1;
    GRFS_GEN_DBLK& src = m->body.find_obj_stat.dblk;
    dblk_test::make_file_dblk(src, "f");
    const int at = src.os_spec_info;
    Encoded e = encode(*m, 0x7FFF);
    // st_mode 0x000081A4 at information offset 8: big-endian in the sent
    // record and on the wire.
    const unsigned char* info = dblk_bytes(&src) + at;
    EXPECT_EQ(hex(Bytes(info + 8, info + 12)), "00 00 81 A4 ");
    EXPECT_EQ(hex(Bytes(e.bytes.begin() + 12 + at + 8, e.bytes.begin() + 12 + at + 12)), "00 00 81 A4 ");
    Decoded d = decode(e.bytes);
    UNIX_FILE_OS_INFO got;
    FillFileInfoFromDblk(&got, &d.msg->body.find_obj_stat.dblk);
    EXPECT_EQ(got.st_mode, 0x81A4u);
    EXPECT_EQ(got.st_size.lsw, 0x12345678u);
    EXPECT_EQ(got.st_ino.msw, 1u);
}

}  // namespace
