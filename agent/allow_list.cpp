#include "agent/allow_list.h"

#include <arpa/inet.h>

#include <string>

#include "unixfs/session/workstation.h"

namespace {

constexpr uint32_t kMaxPrefix = 32;

uint32_t prefix_mask(uint32_t prefix) { return prefix == 0 ? 0 : ~uint32_t{0} << (kMaxPrefix - prefix); }

// Digits only, so "+8", " 8" or "0x8" never pass for a prefix.
bool read_prefix(std::string_view text, uint32_t* prefix) {
    if (text.empty() || text.size() > 2) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v > kMaxPrefix) return false;
    *prefix = v;
    return true;
}

}  // namespace

bool ParseAllowValue(std::string_view text, ALLOW_ENTRY* out) {
    uint32_t prefix = kMaxPrefix;
    const size_t slash = text.find('/');
    if (slash != std::string_view::npos && !read_prefix(text.substr(slash + 1), &prefix)) return false;
    // inet_pton takes only the four-part dotted decimal form; inet_addr
    // would also take "10.1" or octal parts, which read as something else.
    const std::string address(text.substr(0, slash));
    in_addr in{};
    if (inet_pton(AF_INET, address.c_str(), &in) != 1) return false;
    out->mask = prefix_mask(prefix);
    out->network = ntohl(in.s_addr) & out->mask;
    return true;
}

bool PeerAllowed(const WS_CNTL* ws, uint32_t address) {
    if (ws->allow_count == 0) return true;
    const uint32_t host = ntohl(address);
    for (size_t i = 0; i < ws->allow_count && i < kMaxAllowEntries; ++i) {
        const ALLOW_ENTRY& e = ws->allow_list[i];
        if ((host & e.mask) == e.network) return true;
    }
    return false;
}
