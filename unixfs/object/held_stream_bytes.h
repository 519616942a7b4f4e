// A stream taken whole when its object was opened for reading (LXAT, LXMD):
// its bytes and where they start in the object's byte sequence. Its header
// goes out at offset; reads inside it come from the bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

// True when a READ at x falls inside the stream, after its first byte.
inline bool InsideHeldStream(const std::vector<unsigned char>& bytes, uint64_t offset, uint64_t x) {
    return x > offset && x < offset + bytes.size();
}

// Copies up to asked bytes from pos into dest; false when pos is not in
// the stream.
inline bool ReadHeldStream(const std::vector<unsigned char>& bytes, uint64_t offset, uint64_t pos, uint32_t asked,
                           unsigned char* dest, uint32_t* delivered) {
    if (pos < offset || pos >= offset + bytes.size()) return false;
    const uint64_t at = pos - offset;
    const uint64_t left = bytes.size() - at;
    *delivered = asked < left ? asked : static_cast<uint32_t>(left);
    std::memcpy(dest, bytes.data() + at, *delivered);
    return true;
}
