// What verify says about the streams that carry attributes rather than
// data: a symbolic link's record, the ACL stream (docs/acl-stream.md) and
// the LXAT stream (docs/lxat-stream.md) are compared entry by entry, the
// LXMD stream (docs/linux-metadata-stream.md) field by field, and
// each difference is named. Any other stream is compared byte by byte by
// the caller. A new stream of attributes is one more entry of the table in
// verify_streams.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/dblk_info.h"

namespace grfs_client {

// LXAT: extended attributes.
constexpr uint32_t kStreamLinuxXattr = 0x5441584C;

// What a stream comparer may consult besides the stream: the two blocks
// (the ACL entries that only repeat the permission bits are the mode's).
struct StreamContext {
    const Dblk& archived;
    const Dblk& now;
};

// A stream absent on a side is nullopt.
using Bytes = std::optional<std::span<const unsigned char>>;
using StreamComparer = void (*)(Bytes archived, Bytes now, const StreamContext& context,
                                std::vector<std::string>& out);

// The comparer of a stream of attributes; nullptr for one compared byte by
// byte.
StreamComparer stream_comparer(uint32_t id);

}  // namespace grfs_client
