// Agent-style DBLKs (find information, text, versioned Unix information) and
// byte-image helpers that write wire bytes by hand, at the block's offsets,
// without going through the coder.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "grfs/dblk.h"

namespace dblk_test {

using Bytes = std::vector<unsigned char>;

inline void put8(Bytes& b, size_t off, unsigned v) { b.at(off) = static_cast<unsigned char>(v); }
inline void put16le(Bytes& b, size_t off, unsigned v) {
    put8(b, off, v & 0xFF);
    put8(b, off + 1, (v >> 8) & 0xFF);
}
inline void put32le(Bytes& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) put8(b, off + i, (v >> (8 * i)) & 0xFF);
}
inline void put16be(Bytes& b, size_t off, unsigned v) {
    put8(b, off, (v >> 8) & 0xFF);
    put8(b, off + 1, v & 0xFF);
}
inline void put32be(Bytes& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) put8(b, off + i, (v >> (8 * (3 - i))) & 0xFF);
}
inline void put64be(Bytes& b, size_t off, uint32_t msw, uint32_t lsw) {
    put32be(b, off, msw);
    put32be(b, off + 4, lsw);
}
inline void put_text(Bytes& b, size_t off, const std::string& s) {
    for (size_t i = 0; i <= s.size(); ++i) put8(b, off + i, i < s.size() ? static_cast<unsigned char>(s[i]) : 0);
}
inline void put_date(Bytes& b, size_t off, const DATE_TIME& d) {
    const uint16_t w[8] = {d.date_valid, d.year, d.month, d.day, d.hour, d.minute, d.second, d.day_of_week};
    for (int i = 0; i < 8; ++i) put16le(b, off + 2 * i, w[i]);
}

constexpr DATE_TIME kCtime{1, 2024, 3, 15, 10, 20, 30, 5};
constexpr DATE_TIME kAtime{1, 2025, 12, 31, 23, 59, 58, 3};
constexpr DATE_TIME kMtime{1, 1999, 1, 2, 3, 4, 5, 6};
constexpr uint32_t kSearchHandle = 0x00C0FFEE;

inline UNIX_FILE_OS_INFO sample_file_info() {
    UNIX_FILE_OS_INFO i{};
    i.st_dev = 0x00000803;
    i.st_rdev = 0x00000000;
    i.st_mode = 0x000081A4;
    i.st_uid = 1000;
    i.st_gid = 100;
    i.st_size = {0x12345678, 0x00000009};
    i.os_info_version = kOsInfoVersion;
    i.st_ino = {0x0ABCDEF0, 0x00000001};
    i.st_nlink = 2;
    return i;
}

inline UNIX_DIR_OS_INFO sample_dir_info(uint16_t path_length) {
    UNIX_DIR_OS_INFO i{};
    i.st_dev = 0x00000803;
    i.st_rdev = 0x00000007;
    i.st_mode = 0x000041ED;
    i.st_uid = 0;
    i.st_gid = 0x00010002;
    i.access_date = kAtime;
    i.dir_path_offset = 56;
    i.dir_path_length = path_length;
    i.os_info_version = kOsInfoVersion;
    i.st_ino = {0x00000080, 0x00000000};
    i.st_nlink = 0x00000103;
    return i;
}

inline void fill_common(GRFS_GEN_DBLK& d, uint8_t type, const std::string& text) {
    std::memset(&d, 0, sizeof d);
    d.dblk_type = type;
    d.os_id = DBLK_OS_ID_UNIX;
    d.os_ver = DBLK_OS_VER_UNIX;
    d.creation_time = kCtime;
    d.access_time = kAtime;
    d.modified_time = kMtime;
    d.size = {0x00001000, 0x00000002};
    d.gen_attr = type == DDB_ID ? 0x30 : 0x21;
    d.os_info_complete = 1;
    d.min_ddb_info = 176;
    d.min_ddb_size = static_cast<uint16_t>(4 + text.size() + 1);
    d.find_info = 176;
    d.find_info_size = 4;
    std::memcpy(dblk_bytes(&d) + 176, &kSearchHandle, 4);
    std::memcpy(dblk_bytes(&d) + 180, text.c_str(), text.size() + 1);
}

// A file block as the agent lists it: 176 + 4 + (L + 1) + 56 bytes.
inline void make_file_dblk(GRFS_GEN_DBLK& d, const std::string& name,
                           const UNIX_FILE_OS_INFO& info = sample_file_info()) {
    fill_common(d, FDB_ID, name);
    const uint16_t at = static_cast<uint16_t>(181 + name.size());
    d.type_part.fdb.os_name = 180;
    d.type_part.fdb.name = 180;
    std::memcpy(dblk_bytes(&d) + at, &info, sizeof info);
    d.os_spec_info = at;
    d.os_spec_size = 56;
    d.dblk_actual_size = static_cast<uint16_t>(at + 56);
}

// A directory block: 176 + 4 + (L + 1) + 56 + (L + 1) bytes.
inline void make_dir_dblk(GRFS_GEN_DBLK& d, const std::string& path) {
    fill_common(d, DDB_ID, path);
    const uint16_t len = static_cast<uint16_t>(path.size() + 1);
    const uint16_t at = static_cast<uint16_t>(180 + len);
    d.type_part.ddb.os_path = 180;
    d.type_part.ddb.os_path_leng = len;
    d.type_part.ddb.path_leng = len;
    d.type_part.ddb.path = 180;
    UNIX_DIR_OS_INFO info = sample_dir_info(len);
    std::memcpy(dblk_bytes(&d) + at, &info, sizeof info);
    std::memcpy(dblk_bytes(&d) + at + 56, path.c_str(), len);
    d.os_spec_info = at;
    d.os_spec_size = static_cast<uint16_t>(56 + len);
    d.dblk_actual_size = static_cast<uint16_t>(at + 56 + len);
}

// The wire image of a fixed part as fill_common makes it, written by hand.
inline void put_fixed_part(Bytes& w, uint8_t type, size_t text_len, uint16_t os_spec_info,
                           uint16_t os_spec_size, uint16_t actual) {
    put8(w, 0, type);
    put8(w, 60, 20);
    put8(w, 61, 0);
    put_date(w, 64, kCtime);
    put_date(w, 80, kAtime);
    put_date(w, 96, DATE_TIME{});
    put_date(w, 112, kMtime);
    put32le(w, 128, 0x00001000);
    put32le(w, 132, 0x00000002);
    put32le(w, 136, type == DDB_ID ? 0x30 : 0x21);
    put16le(w, 140, 1);
    put16le(w, 142, 176);
    put16le(w, 144, static_cast<unsigned>(4 + text_len + 1));
    put16le(w, 146, os_spec_info);
    put16le(w, 148, os_spec_size);
    put16le(w, 150, actual);
    put16le(w, 156, 176);
    put16le(w, 158, 4);
    // find information travels as the agent stored it (host order)
    std::memcpy(w.data() + 176, &kSearchHandle, 4);
}

// Wire image of make_file_dblk(name) with sample_file_info().
inline Bytes file_wire_image(const std::string& name) {
    const uint16_t at = static_cast<uint16_t>(181 + name.size());
    const uint16_t actual = static_cast<uint16_t>(at + 56);
    Bytes w(actual, 0);
    put_fixed_part(w, FDB_ID, name.size(), at, 56, actual);
    put16le(w, 168, 0);    // in_use
    put16le(w, 170, 180);  // os_name
    put16le(w, 172, 180);  // name
    put16le(w, 174, 0);
    put_text(w, 180, name);
    put32be(w, at + 0, 0x00000803);
    put32be(w, at + 4, 0);
    put32be(w, at + 8, 0x000081A4);
    put32be(w, at + 12, 1000);
    put32be(w, at + 16, 100);
    put64be(w, at + 20, 0x00000009, 0x12345678);
    put16le(w, at + 40, 1);  // os_info_version keeps host order
    put64be(w, at + 44, 0x00000001, 0x0ABCDEF0);
    put32be(w, at + 52, 2);
    return w;
}

// Wire image of make_dir_dblk(path).
inline Bytes dir_wire_image(const std::string& path) {
    const uint16_t len = static_cast<uint16_t>(path.size() + 1);
    const uint16_t at = static_cast<uint16_t>(180 + len);
    const uint16_t actual = static_cast<uint16_t>(at + 56 + len);
    Bytes w(actual, 0);
    put_fixed_part(w, DDB_ID, path.size(), at, static_cast<uint16_t>(56 + len), actual);
    put16le(w, 168, 180);  // os_path
    put16le(w, 170, len);  // os_path_leng
    put16le(w, 172, len);  // path_leng
    put16le(w, 174, 180);  // path
    put_text(w, 180, path);
    put32be(w, at + 0, 0x00000803);
    put32be(w, at + 4, 0x00000007);
    put32be(w, at + 8, 0x000041ED);
    put32be(w, at + 12, 0);
    put32be(w, at + 16, 0x00010002);
    const uint16_t words[8] = {1, 2025, 12, 31, 23, 59, 58, 3};
    for (int i = 0; i < 8; ++i) put16be(w, at + 20 + 2 * i, words[i]);
    put16be(w, at + 36, 56);
    put16be(w, at + 38, len);
    put16le(w, at + 40, 1);
    put64be(w, at + 44, 0, 0x00000080);
    put32be(w, at + 52, 0x00000103);
    put_text(w, at + 56, path);
    return w;
}

}  // namespace dblk_test
