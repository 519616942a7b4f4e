#include "client/link_record.h"

#include <cstring>

namespace grfs_client {

std::optional<LinkRecord> parse_link_record(std::span<const unsigned char> bytes) {
    // The length word's byte order is the agent host's; the two texts are
    // found by their zero bytes instead.
    if (bytes.size() < 6) return std::nullopt;
    const unsigned char* p = bytes.data() + 4;
    const size_t n = bytes.size() - 4;
    const void* first = std::memchr(p, 0, n);
    if (first == nullptr) return std::nullopt;
    const size_t name_end = static_cast<size_t>(static_cast<const unsigned char*>(first) - p);
    const void* second = std::memchr(p + name_end + 1, 0, n - name_end - 1);
    if (second == nullptr) return std::nullopt;
    const size_t target_end = static_cast<size_t>(static_cast<const unsigned char*>(second) - p);
    LinkRecord r;
    r.name.assign(reinterpret_cast<const char*>(p), name_end);
    r.target.assign(reinterpret_cast<const char*>(p + name_end + 1), target_end - name_end - 1);
    return r;
}

std::optional<std::string> link_target(const std::vector<StreamBytes>& streams) {
    for (const StreamBytes& s : streams) {
        if (s.header.id != kStreamUnixEa) continue;
        if (auto r = parse_link_record(s.bytes)) return r->target;
    }
    return std::nullopt;
}

std::vector<unsigned char> make_link_record(const std::string& name, const std::string& target) {
    std::vector<unsigned char> record(4);
    record.insert(record.end(), name.begin(), name.end());
    record.push_back(0);
    record.insert(record.end(), target.begin(), target.end());
    record.push_back(0);
    const uint32_t length = static_cast<uint32_t>(record.size());
    std::memcpy(record.data(), &length, sizeof length);
    return record;
}

}  // namespace grfs_client
