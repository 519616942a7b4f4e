// Byte images of one request of every type, written by hand as a server
// sends them, with the number of bytes that their layout codes.
#pragma once

#include <string>
#include <vector>

#include "dblk_test_images.h"
#include "message_test_support.h"

namespace msg_test {

constexpr uint32_t kReqId = 0xA1B2C3D4;

struct RequestImage {
    int type;
    Bytes wire;     // what the server sends (may hold padding after the layout)
    size_t coded;   // bytes the layout codes: a shorter receipt is incomplete
    int body_length;
};

inline RequestImage attach_image() {
    Wire w;
    w.hdr(1, 0, kReqId).field("HOME", 128).u32(0x00000011).u16(0x0102).u16(0x0304).u16(512).u16(2).field("backup", 48).field(
        "SECRET", 128);
    return {1, w.bytes(), 324, 316};
}

inline RequestImage dle_image(int type) {
    return {type, Wire().hdr(type, 0, kReqId).u32(0xCAFE0001).bytes(), 12, 4};
}

inline RequestImage find_first_image(const std::string& name) {
    Wire w;
    w.hdr(5, 0, kReqId).u32(0xCAFE0002).u16(1).raw(name);
    size_t text = name.size();
    if (name.size() < 12) {
        w.u8(0);
        ++text;
    }
    return {5, w.bytes(), 14 + text, static_cast<int>(text) + 8};
}

inline Bytes file_block() { return dblk_test::file_wire_image("report.txt"); }
inline Bytes dir_block() { return dblk_test::dir_wire_image("home/user"); }

inline RequestImage dblk_image(int type, const Bytes& block) {
    Bytes w = Wire().hdr(type, 0, kReqId).u32(0xCAFE0003).raw(block).bytes();
    return {type, w, w.size(), static_cast<int>(block.size()) + 4};
}

inline RequestImage open_image(unsigned mode) {
    Bytes block = file_block();
    Bytes w = Wire().hdr(9, 0, kReqId).u32(0xCAFE0004).u16(mode).u8(0x5A).u8(0xA5).raw(block).bytes();
    return {9, w, w.size(), static_cast<int>(block.size()) + 8};
}

inline RequestImage read_image() {
    Bytes w = Wire().hdr(10, 0, kReqId).u32(0x0B000001).u16(31744).u32(0x00012345).u16(0).bytes();
    return {10, w, 18, 12};
}

inline RequestImage write_image(int type, const std::string& data) {
    Bytes w = Wire()
                  .hdr(type, 0, kReqId)
                  .u32(0x0B000002)
                  .u32(0x00054321)
                  .stream(0x41544144, 0x0003, 0, 0x00100000, 0x00000001)
                  .u16(static_cast<unsigned>(data.size()))
                  .raw(data)
                  .u16(0)
                  .bytes();
    return {type, w, 34 + data.size(), static_cast<int>(data.size()) + 28};
}

inline RequestImage seek_image() {
    return {12, Wire().hdr(12, 0, kReqId).u32(0x0B000003).u32(4096).bytes(), 16, 8};
}

inline RequestImage close_image() { return {14, Wire().hdr(14, 0, kReqId).u32(0x0B000004).bytes(), 12, 4}; }

inline RequestImage change_dir_image(const Bytes& path) {
    Bytes w = Wire().hdr(18, 0, kReqId).u32(0xCAFE0005).u16(static_cast<unsigned>(path.size())).raw(path).u16(0).u8(0).bytes();
    return {18, w, 14 + path.size(), static_cast<int>(path.size()) + 9};
}

inline RequestImage read_large_image() {
    return {25, Wire().hdr(25, 0, kReqId).u32(0x0B000005).u32(31744).u64(0x89ABCDEF, 0x00000002).bytes(), 24, 16};
}

inline RequestImage write_large_image(int type, const std::string& data) {
    Bytes w = Wire()
                  .hdr(type, 0, kReqId)
                  .u32(0x0B000006)
                  .u64(0xFFFFFFF0, 0x00000003)
                  .stream(0x4E41454D, 0x0001, 0, 0x00000200, 0)
                  .u32(static_cast<uint32_t>(data.size()))
                  .raw(data)
                  .bytes();
    return {type, w, 40 + data.size(), static_cast<int>(data.size()) + 32};
}

inline RequestImage seek_large_image() {
    return {27, Wire().hdr(27, 0, kReqId).u32(0x0B000007).u64(0x00001000, 0x00000001).bytes(), 20, 12};
}

inline RequestImage get_info_image() {
    return {29, Wire().hdr(29, 0, kReqId).u32(1).u32(2).u64(3, 4).bytes(), 24, 16};
}

// One image of every request type with a layout.
inline std::vector<RequestImage> all_request_images() {
    std::vector<RequestImage> v;
    v.push_back(attach_image());
    for (int t : {2, 3, 4, 19}) v.push_back(dle_image(t));
    v.push_back(find_first_image("*.c"));
    v.push_back(find_first_image("ABCDEFGHIJKL"));  // 12 bytes, no zero
    for (int t : {6, 7, 8, 15, 16, 17, 20, 24}) v.push_back(dblk_image(t, t == 7 ? dir_block() : file_block()));
    v.push_back(open_image(0));
    v.push_back(read_image());
    v.push_back(write_image(11, "hello, world"));
    v.push_back(write_image(13, std::string("a\0b", 3)));
    v.push_back(seek_image());
    v.push_back(close_image());
    v.push_back(change_dir_image(Bytes{'u', 's', 'r', 0, 'l', 'i', 'b', 0}));
    v.push_back(read_large_image());
    v.push_back(write_large_image(26, "large data"));
    v.push_back(write_large_image(28, "v"));
    v.push_back(seek_large_image());
    v.push_back(get_info_image());
    return v;
}

}  // namespace msg_test
