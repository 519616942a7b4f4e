#include "unixfs/object/xattr_stream.h"

#include <algorithm>
#include <cstring>

namespace {

void put_le(std::vector<unsigned char>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

uint32_t get_le(const unsigned char* p, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(p[i]) << (8 * i);
    return value;
}

}  // namespace

std::vector<unsigned char> EncodeXattrStream(std::vector<XATTR_ENTRY> entries) {
    std::sort(entries.begin(), entries.end(),
              [](const XATTR_ENTRY& a, const XATTR_ENTRY& b) { return a.name < b.name; });
    size_t total = 4;
    for (const auto& e : entries) total += XattrEntryBytes(e);
    std::vector<unsigned char> out;
    out.reserve(total);
    put_le(out, static_cast<uint32_t>(entries.size()), 4);
    for (const auto& e : entries) {
        put_le(out, static_cast<uint32_t>(e.name.size()), 2);
        put_le(out, static_cast<uint32_t>(e.value.size()), 4);
        out.insert(out.end(), e.name.begin(), e.name.end());
        out.insert(out.end(), e.value.begin(), e.value.end());
    }
    return out;
}

bool DecodeXattrStream(std::span<const unsigned char> bytes, std::vector<XATTR_ENTRY>* entries) {
    entries->clear();
    if (bytes.size() < 4) return false;
    const uint32_t count = get_le(bytes.data(), 4);
    size_t at = 4;
    // Each attribute takes at least 7 bytes: a count past that is a lie.
    if (count > (bytes.size() - at) / 7) return false;
    entries->reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (bytes.size() - at < 6) return false;
        const size_t name_len = get_le(bytes.data() + at, 2);
        const size_t value_len = get_le(bytes.data() + at + 2, 4);
        at += 6;
        if (name_len == 0 || name_len > kXattrNameMax || value_len > kXattrValueMax) return false;
        if (bytes.size() - at < name_len || bytes.size() - at - name_len < value_len) return false;
        const auto* name = reinterpret_cast<const char*>(bytes.data() + at);
        if (std::memchr(name, '\0', name_len) != nullptr) return false;
        XATTR_ENTRY e;
        e.name.assign(name, name_len);
        at += name_len;
        e.value.assign(bytes.begin() + static_cast<ptrdiff_t>(at), bytes.begin() + static_cast<ptrdiff_t>(at + value_len));
        at += value_len;
        entries->push_back(std::move(e));
    }
    return at == bytes.size();
}
