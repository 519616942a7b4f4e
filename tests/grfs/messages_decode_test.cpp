// Hand-built byte images of every request type decode to the expected record.
#include <gtest/gtest.h>

#include <cstring>
#include <span>

#include "dblk_test_images.h"
#include "grfs/messages.h"
#include "message_test_support.h"
#include "request_images.h"

namespace {

using namespace msg_test;

Decoded decode_complete(const RequestImage& img) {
    Decoded d = decode(img.wire);
    EXPECT_EQ(d.status, GRFS_CODE_COMPLETE) << img.type;
    EXPECT_EQ(d.length, img.body_length) << img.type;
    EXPECT_EQ(d.msg->hdr.msg_type, img.type);
    EXPECT_EQ(d.msg->hdr.request_id, kReqId);
    return d;
}

// The block the agent would hold for the image: host order throughout.
void expect_block(const GRFS_GEN_DBLK& got, const GRFS_GEN_DBLK& want) {
    ASSERT_EQ(got.dblk_actual_size, want.dblk_actual_size);
    EXPECT_EQ(std::memcmp(&got, &want, want.dblk_actual_size), 0);
}

TEST(MessageDecode, Attach) {
    Decoded d = decode_complete(attach_image());
    const auto& b = d.msg->body.attach_dle;
    EXPECT_STREQ(b.dle_name, "HOME");
    EXPECT_EQ(b.parent, 0x11u);
    EXPECT_EQ(b.vsc_flags, 0x0102);
    EXPECT_EQ(b.reason, 0x0304);
    EXPECT_EQ(b.bsize, 512);
    EXPECT_EQ(b.cmpr_type, 2);
    EXPECT_STREQ(b.user, "backup");
    EXPECT_STREQ(b.password, "SECRET");
    EXPECT_EQ(d.msg->hdr.retcode, 0);
}

TEST(MessageDecode, DleHandleRequests) {
    for (int t : {2, 3, 4, 19}) {
        Decoded d = decode_complete(dle_image(t));
        EXPECT_EQ(d.msg->body.dle_req.dle_id, 0xCAFE0001u);
    }
}

TEST(MessageDecode, FindFirstObjTerminatesTheSearchName) {
    Decoded d = decode_complete(find_first_image("*.c"));
    EXPECT_EQ(d.msg->body.find_first_obj.dle_id, 0xCAFE0002u);
    EXPECT_EQ(d.msg->body.find_first_obj.find_type, 1);
    EXPECT_STREQ(d.msg->body.find_first_obj.search_name, "*.c");

    // Twelve bytes without a zero: the record still holds a terminated text,
    // and what follows on the wire is not taken into it.
    RequestImage full = find_first_image("ABCDEFGHIJKL");
    full.wire.push_back('Z');
    Decoded e = decode_complete(full);
    EXPECT_STREQ(e.msg->body.find_first_obj.search_name, "ABCDEFGHIJKL");
    EXPECT_EQ(e.length, 20);

    // A shorter name replaces a longer one completely in a reused record.
    auto m = new_message();
    std::memset(m->body.find_first_obj.search_name, 'x', sizeof m->body.find_first_obj.search_name);
    Bytes w = find_first_image("ab").wire;
    ASSERT_EQ(grfs_decode_request(w, m.get()), GRFS_CODE_COMPLETE);
    EXPECT_STREQ(m->body.find_first_obj.search_name, "ab");
}

TEST(MessageDecode, DblkRequestsHoldTheBlockInHostOrder) {
    GRFS_GEN_DBLK file, dir;
    dblk_test::make_file_dblk(file, "report.txt");
    dblk_test::make_dir_dblk(dir, "home/user");
    for (int t : {6, 7, 8, 15, 16, 17, 20, 24}) {
        const bool is_dir = t == 7;
        Decoded d = decode_complete(dblk_image(t, is_dir ? dir_block() : file_block()));
        EXPECT_EQ(d.msg->body.dblk_req.dle_id, 0xCAFE0003u);
        expect_block(d.msg->body.dblk_req.dblk, is_dir ? dir : file);
    }
}

TEST(MessageDecode, OpenObj) {
    GRFS_GEN_DBLK file;
    dblk_test::make_file_dblk(file, "report.txt");
    Decoded d = decode_complete(open_image(2));
    const auto& b = d.msg->body.open_obj;
    EXPECT_EQ(b.dle_id, 0xCAFE0004u);
    EXPECT_EQ(b.mode, GRFS_OPEN_VERIFY);
    EXPECT_EQ(b.open_reserved1, 0x5A);
    EXPECT_EQ(b.open_reserved2, 0xA5);
    expect_block(b.dblk, file);
}

TEST(MessageDecode, ReadSeekCloseAndGetInfo) {
    Decoded r = decode_complete(read_image());
    EXPECT_EQ(r.msg->body.read_obj.obj_id, 0x0B000001u);
    EXPECT_EQ(r.msg->body.read_obj.size, 31744);
    EXPECT_EQ(r.msg->body.read_obj.offset, 0x12345u);

    Decoded s = decode_complete(seek_image());
    EXPECT_EQ(s.msg->body.seek_obj.obj_id, 0x0B000003u);
    EXPECT_EQ(s.msg->body.seek_obj.offset, 4096u);

    Decoded c = decode_complete(close_image());
    EXPECT_EQ(c.msg->body.close_obj.obj_id, 0x0B000004u);

    Decoded rl = decode_complete(read_large_image());
    EXPECT_EQ(rl.msg->body.read_obj_large.obj_id, 0x0B000005u);
    EXPECT_EQ(rl.msg->body.read_obj_large.size, 31744u);
    EXPECT_EQ(rl.msg->body.read_obj_large.offset.lsw, 0x89ABCDEFu);
    EXPECT_EQ(rl.msg->body.read_obj_large.offset.msw, 2u);

    Decoded sl = decode_complete(seek_large_image());
    EXPECT_EQ(sl.msg->body.seek_obj_large.obj_id, 0x0B000007u);
    EXPECT_EQ(sl.msg->body.seek_obj_large.offset.lsw, 0x1000u);
    EXPECT_EQ(sl.msg->body.seek_obj_large.offset.msw, 1u);

    Decoded g = decode_complete(get_info_image());
    EXPECT_EQ(g.msg->body.get_info.reserved1, 1u);
    EXPECT_EQ(g.msg->body.get_info.reserved2, 2u);
    EXPECT_EQ(g.msg->body.get_info.reserved3.lsw, 3u);
    EXPECT_EQ(g.msg->body.get_info.reserved3.msw, 4u);
}

TEST(MessageDecode, WriteAndVerifyCarryTheirData) {
    for (int t : {11, 13}) {
        const std::string data = t == 11 ? "hello, world" : std::string("a\0b", 3);
        Decoded d = decode_complete(write_image(t, data));
        const auto& b = d.msg->body.write_obj;
        EXPECT_EQ(b.obj_id, 0x0B000002u);
        EXPECT_EQ(b.offset, 0x54321u);
        EXPECT_EQ(b.stream_info.id, 0x41544144u);
        EXPECT_EQ(b.stream_info.attrib, 3);
        EXPECT_EQ(b.stream_info.reserved, 0);
        EXPECT_EQ(b.stream_info.size.lsw, 0x00100000u);
        EXPECT_EQ(b.stream_info.size.msw, 1u);
        ASSERT_EQ(b.size, data.size());
        EXPECT_EQ(std::string(b.data, b.size), data);
    }
    for (int t : {26, 28}) {
        const std::string data = t == 26 ? "large data" : "v";
        Decoded d = decode_complete(write_large_image(t, data));
        const auto& b = d.msg->body.write_obj_large;
        EXPECT_EQ(b.obj_id, 0x0B000006u);
        EXPECT_EQ(b.offset.lsw, 0xFFFFFFF0u);
        EXPECT_EQ(b.offset.msw, 3u);
        EXPECT_EQ(b.stream_info.id, 0x4E41454Du);
        EXPECT_EQ(b.stream_info.attrib, 1);
        EXPECT_EQ(b.stream_info.size.lsw, 0x200u);
        ASSERT_EQ(b.size, data.size());
        EXPECT_EQ(std::string(b.data, b.size), data);
    }
}

TEST(MessageDecode, WriteDataCanStayInTheReceivedBytes) {
    // Asked for, the data of a write is named where it lies and not copied;
    // every field before it is decoded as usual. Other requests name none.
    for (const RequestImage& img : {write_image(11, "hello, world"), write_large_image(26, "large data"),
                                    read_large_image()}) {
        auto m = new_message();
        std::span<const unsigned char> data;
        int length = 0;
        ASSERT_EQ(grfs_decode_request(img.wire, m.get(), &length, &data), GRFS_CODE_COMPLETE);
        EXPECT_EQ(length, img.body_length);
        if (img.type == 25) {
            EXPECT_TRUE(data.empty());
            continue;
        }
        const bool large = img.type == 26;
        const uint32_t size = large ? m->body.write_obj_large.size : m->body.write_obj.size;
        const char* field = large ? m->body.write_obj_large.data : m->body.write_obj.data;
        EXPECT_EQ(large ? m->body.write_obj_large.obj_id : m->body.write_obj.obj_id, large ? 0x0B000006u : 0x0B000002u);
        ASSERT_EQ(data.size(), size);
        EXPECT_EQ(data.data(), img.wire.data() + img.coded - size);
        EXPECT_NE(std::memcmp(field, data.data(), size), 0);
    }
}

TEST(MessageDecode, ChangeDirPathWithZeroSeparators) {
    Bytes path{'u', 's', 'r', 0, 'l', 'i', 'b', 0};
    Decoded d = decode_complete(change_dir_image(path));
    const auto& b = d.msg->body.change_dir;
    EXPECT_EQ(b.dle_id, 0xCAFE0005u);
    ASSERT_EQ(b.size, 8);
    EXPECT_EQ(Bytes(b.net_path, b.net_path + 8), path);

    // Size 0 carries no path; the body length is still 9.
    Decoded z = decode_complete(change_dir_image(Bytes{}));
    EXPECT_EQ(z.msg->body.change_dir.size, 0);
    // A negative size carries no path either.
    Bytes neg = Wire().hdr(18, 0, kReqId).u32(1).u16(0xFFFF).bytes();
    Decoded n = decode(neg);
    EXPECT_EQ(n.status, GRFS_CODE_COMPLETE);
    EXPECT_EQ(n.msg->body.change_dir.size, -1);
    EXPECT_EQ(n.length, 8);
}

TEST(MessageDecode, RequestsWithoutLayoutAreHeadersOnly) {
    for (int t : {21, 22, 23, 0, 30, 64}) {
        Bytes w = Wire().hdr(t, 0, kReqId).u32(0xDEADBEEF).bytes();
        Decoded d = decode(w);
        EXPECT_EQ(d.status, GRFS_CODE_COMPLETE) << t;
        EXPECT_EQ(d.msg->hdr.msg_type, t);
        EXPECT_EQ(d.msg->hdr.request_id, kReqId);
        EXPECT_EQ(d.length, 12) << t;  // the received length stands
    }
}

TEST(MessageDecode, HeaderFieldsAreCarried) {
    Bytes w = Wire().u8(14).u8(0x77).u16(0xFE0B).u32(0x01020304).u32(9).bytes();
    Decoded d = decode(w);
    EXPECT_EQ(d.msg->hdr.msg_reserved, 0x77);
    EXPECT_EQ(d.msg->hdr.retcode, -501);
    EXPECT_EQ(d.msg->hdr.request_id, 0x01020304u);
}

}  // namespace
