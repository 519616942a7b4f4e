// The LXAT stream: a file's, directory's or symbolic link's own extended
// attributes in one stream of the object's byte sequence. All numbers are
// little-endian whatever the host: a 4-byte count, then per attribute a
// 2-byte name length (1 to 255, no terminator), a 4-byte value length (0 to
// 65536), the name (with its namespace, e.g. "user.") and the value.
// Attributes are sorted by name. docs/lxat-stream.md describes it for
// readers of archives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

constexpr uint32_t STRM_LINUX_XATTR = 0x5441584C;  // "LXAT" on the wire
constexpr size_t kXattrNameMax = 255;
constexpr size_t kXattrValueMax = 65536;
// A restore collects at most this much of one stream; a backup never
// announces more.
constexpr size_t kXattrStreamMax = 4u << 20;

struct XATTR_ENTRY {
    std::string name;
    std::vector<unsigned char> value;
};

// The bytes of one attribute in the stream.
inline size_t XattrEntryBytes(const XATTR_ENTRY& e) { return 2 + 4 + e.name.size() + e.value.size(); }

// The stream for these attributes (sorted by name here).
std::vector<unsigned char> EncodeXattrStream(std::vector<XATTR_ENTRY> entries);

// The attributes of a stream, in stream order; false when the stream is
// malformed: a count or length reaching past its end, a name of 0 or more
// than 255 bytes or holding a zero byte, a value above 65536 bytes, or
// bytes left over after the last attribute.
bool DecodeXattrStream(std::span<const unsigned char> bytes, std::vector<XATTR_ENTRY>* entries);
