// The peers allowed to open sessions (allow lines of the configuration).
#pragma once

#include <cstdint>
#include <string_view>

struct ALLOW_ENTRY;
struct WS_CNTL;

// "A.B.C.D" (a single address) or "A.B.C.D/PREFIX" (prefix 0 to 32), in
// strict dotted decimal. Bits of the address beyond the prefix are ignored.
// false when text is anything else.
bool ParseAllowValue(std::string_view text, ALLOW_ENTRY* out);

// Whether a peer at address (network byte order) may open a session: always
// when the configuration has no allow line, else when one of them matches.
bool PeerAllowed(const WS_CNTL* ws, uint32_t address);
