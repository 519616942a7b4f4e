// Little-endian numbers in byte buffers, for the archive and advertisement
// formats.
#pragma once

#include <cstdint>
#include <vector>

namespace grfs_client {

inline void append_le(std::vector<unsigned char>& out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

inline uint64_t read_le(const unsigned char* in, int width) {
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
    return value;
}

}  // namespace grfs_client
