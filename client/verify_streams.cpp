#include "client/verify_streams.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>

#include "client/link_record.h"
#include "client/requests.h"
#include "grfs/linux_meta_stream.h"

namespace grfs_client {

namespace {

using Differences = std::vector<std::string>;

void not_understood(uint32_t id, Differences& out) {
    out.push_back("stream " + stream_name(id) + " cannot be read as attributes and differs");
}

bool same_bytes(Bytes a, Bytes b) {
    return a->size() == b->size() && std::equal(a->begin(), a->end(), b->begin());
}

// ---- symbolic-link record

void compare_link_records(Bytes archived, Bytes now, const StreamContext&, Differences& out) {
    if (!archived || !now) {
        out.push_back(now ? std::string("has a link record, the archive has none")
                          : std::string("has no link record, the archive has one"));
        return;
    }
    auto was = parse_link_record(*archived);
    auto is = parse_link_record(*now);
    if (!was || !is) {
        if (!same_bytes(archived, now)) not_understood(kStreamUnixEa, out);
        return;
    }
    if (was->target != is->target) out.push_back("link target is '" + is->target + "', the archive has '" + was->target + "'");
}

// ---- ACL entries

constexpr int32_t kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08, kClassObj = 0x10, kOtherObj = 0x20;
constexpr int32_t kDefault = 0x1000;

using AclKey = std::pair<int32_t, uint32_t>;  // type, id (0 for the _OBJ kinds, whose id is not read)
using Acl = std::map<AclKey, uint16_t>;        // permission bits

uint32_t read_u32(std::span<const unsigned char> b, size_t at, bool big_endian) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        const uint32_t byte = b[at + static_cast<size_t>(i)];
        v |= big_endian ? byte << (8 * (3 - i)) : byte << (8 * i);
    }
    return v;
}

std::optional<Acl> parse_acl(std::span<const unsigned char> b, bool big_endian) {
    if (b.size() < 4) return std::nullopt;
    const uint32_t n = read_u32(b, 0, big_endian);
    if (b.size() != 4 + 12ull * n) return std::nullopt;
    Acl acl;
    for (uint32_t i = 0; i < n; ++i) {
        const size_t at = 4 + 12 * static_cast<size_t>(i);
        const auto type = static_cast<int32_t>(read_u32(b, at, big_endian));
        const int32_t kind = type & ~kDefault;
        const uint32_t id = (kind == kUser || kind == kGroup) ? read_u32(b, at + 4, big_endian) : 0;
        const uint32_t perm_word = read_u32(b, at + 8, big_endian);
        const auto perm = static_cast<uint16_t>(big_endian ? perm_word >> 16 : perm_word & 0xFFFF);
        acl[{type, id}] = perm;
    }
    return acl;
}

std::string acl_entry_name(const AclKey& key) {
    const bool is_default = (key.first & kDefault) != 0;
    std::string name = is_default ? "default:" : "";
    switch (key.first & ~kDefault) {
        case kUserObj: return name + "user::";
        case kUser: return name + "user:" + std::to_string(key.second);
        case kGroupObj: return name + "group::";
        case kGroup: return name + "group:" + std::to_string(key.second);
        case kClassObj: return name + "mask::";
        case kOtherObj: return name + "other::";
        default: return name + "type " + std::to_string(key.first) + " id " + std::to_string(key.second);
    }
}

std::string perm_text(uint16_t p) {
    return std::string(p & 4 ? "r" : "-") + (p & 2 ? "w" : "-") + (p & 1 ? "x" : "-");
}

// The permission bits of the mode an access entry repeats; -1 for an entry
// that is its own.
int mode_bits_of(int32_t type, const Dblk& dblk) {
    if (!dblk.unix_info().present) return -1;
    const uint32_t mode = dblk.unix_info().mode;
    switch (type) {
        case kUserObj: return static_cast<int>((mode >> 6) & 7);
        case kGroupObj:
        case kClassObj: return static_cast<int>((mode >> 3) & 7);
        case kOtherObj: return static_cast<int>(mode & 7);
        default: return -1;
    }
}

void compare_acls(uint32_t id, Bytes archived, Bytes now, const StreamContext& context, Differences& out) {
    if (!archived || !now) {
        out.push_back(now ? std::string("has an ACL stream, the archive has none")
                          : std::string("has no ACL stream, the archive has one"));
        return;
    }
    const bool big_endian = id == kStreamSolAcl;
    auto was = parse_acl(*archived, big_endian);
    auto is = parse_acl(*now, big_endian);
    if (!was || !is) {
        if (!same_bytes(archived, now)) not_understood(id, out);
        return;
    }
    Acl keys = *was;
    keys.insert(is->begin(), is->end());
    for (const auto& [key, unused] : keys) {
        const auto a = was->find(key), b = is->find(key);
        const std::string name = "ACL entry " + acl_entry_name(key);
        if (b == is->end()) {
            out.push_back(name + " is missing, the archive has " + perm_text(a->second));
        } else if (a == was->end()) {
            out.push_back(name + " is " + perm_text(b->second) + ", the archive has none");
        } else if (a->second != b->second) {
            // An entry that only repeats the permission bits on both sides
            // is the mode's difference, named once as such.
            if (a->second == mode_bits_of(key.first, context.archived) &&
                b->second == mode_bits_of(key.first, context.now))
                continue;
            out.push_back(name + " is " + perm_text(b->second) + ", the archive has " + perm_text(a->second));
        }
    }
}

void compare_acls_le(Bytes a, Bytes b, const StreamContext& c, Differences& out) {
    compare_acls(kStreamSolX86Acl, a, b, c, out);
}
void compare_acls_be(Bytes a, Bytes b, const StreamContext& c, Differences& out) {
    compare_acls(kStreamSolAcl, a, b, c, out);
}

// ---- extended attributes

using Xattrs = std::map<std::string, std::string>;

std::optional<Xattrs> parse_xattrs(std::span<const unsigned char> b) {
    if (b.size() < 4) return std::nullopt;
    const uint32_t n = read_u32(b, 0, false);
    size_t at = 4;
    Xattrs out;
    for (uint32_t i = 0; i < n; ++i) {
        if (b.size() - at < 6) return std::nullopt;
        const size_t name_length = b[at] | (static_cast<size_t>(b[at + 1]) << 8);
        const size_t value_length = read_u32(b, at + 2, false);
        at += 6;
        if (b.size() - at < name_length || b.size() - at - name_length < value_length) return std::nullopt;
        const auto* p = reinterpret_cast<const char*>(b.data() + at);
        out[std::string(p, name_length)] = std::string(p + name_length, value_length);
        at += name_length + value_length;
    }
    if (at != b.size()) return std::nullopt;
    return out;
}

// No stream means no attributes: the agent sends one only for an object
// that has some.
void compare_xattrs(Bytes archived, Bytes now, const StreamContext&, Differences& out) {
    const std::optional<Xattrs> none = Xattrs{};
    auto was = archived ? parse_xattrs(*archived) : none;
    auto is = now ? parse_xattrs(*now) : none;
    if (!was || !is) {
        if (!archived || !now || !same_bytes(archived, now)) not_understood(kStreamLinuxXattr, out);
        return;
    }
    Xattrs names = *was;
    names.insert(is->begin(), is->end());
    for (const auto& [name, unused] : names) {
        const auto a = was->find(name), b = is->find(name);
        if (b == is->end())
            out.push_back("attribute " + name + " is missing");
        else if (a == was->end())
            out.push_back("attribute " + name + " is not in the archive");
        else if (a->second != b->second)
            out.push_back("attribute " + name + " differs (" + std::to_string(b->second.size()) +
                          " bytes, the archive has " + std::to_string(a->second.size()) + ")");
    }
}

// ---- Linux metadata: times to the nanosecond and inode flags

std::string utc_time(int64_t sec, uint32_t nsec) {
    char nanos[16];
    std::snprintf(nanos, sizeof nanos, "%09u", static_cast<unsigned>(nsec));
    return std::to_string(sec) + "." + nanos + " s";
}

void compare_time(const char* what, int64_t was_sec, uint32_t was_nsec, int64_t is_sec, uint32_t is_nsec,
                  Differences& out) {
    if (was_sec == is_sec && was_nsec == is_nsec) return;
    out.push_back(std::string(what) + " is " + utc_time(is_sec, is_nsec) + " UTC, the archive has " +
                  utc_time(was_sec, was_nsec));
}

// An object without the stream on one side was described by an agent
// without linux_metadata: nothing to compare.
void compare_linux_meta(Bytes archived, Bytes now, const StreamContext& context, Differences& out) {
    if (!archived || !now) return;
    LINUX_META was, is;
    if (!DecodeLinuxMeta(*archived, &was) || !DecodeLinuxMeta(*now, &is)) {
        if (!same_bytes(archived, now)) not_understood(STRM_LINUX_META, out);
        return;
    }
    compare_time("modification time", was.mtime_sec, was.mtime_nsec, is.mtime_sec, is.mtime_nsec, out);
    // Listing a directory, as verify itself does before it reads the
    // directory's streams, moves its access time.
    if (!context.archived.is_directory())
        compare_time("access time", was.atime_sec, was.atime_nsec, is.atime_sec, is.atime_nsec, out);
    // Flags the archive has are missing too where the file system now keeps
    // none.
    if (!was.has_flags) return;
    if (!is.has_flags) is.flags = 0;
    const uint32_t mask = RestorableInodeFlags();
    const uint32_t missing = was.flags & ~is.flags & mask;
    const uint32_t extra = is.flags & ~was.flags & mask;
    if (missing != 0) out.push_back("inode flags " + InodeFlagNames(missing) + " are missing");
    if (extra != 0) out.push_back("inode flags " + InodeFlagNames(extra) + " are not in the archive");
}

struct StreamComparerEntry {
    uint32_t id;
    StreamComparer compare;
};
constexpr StreamComparerEntry kStreamComparers[] = {
    {kStreamUnixEa, compare_link_records},
    {kStreamSolX86Acl, compare_acls_le},
    {kStreamSolAcl, compare_acls_be},
    {kStreamLinuxXattr, compare_xattrs},
    {STRM_LINUX_META, compare_linux_meta},
};

}  // namespace

StreamComparer stream_comparer(uint32_t id) {
    for (const auto& entry : kStreamComparers)
        if (entry.id == id) return entry.compare;
    return nullptr;
}

}  // namespace grfs_client
