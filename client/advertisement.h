// The advertisement an agent sends to each of its backup servers, and a
// listener that receives them as a server does.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/result.h"
#include "client/socket_io.h"
#include "util/unique_fd.h"

namespace grfs_client {

// Type byte, zero, size of the rest (16-bit), resource type (16-bit),
// then four zero-terminated texts: resource name, universal address twice,
// host name. size counts the bytes from offset 6 on.
struct Advertisement {
    uint16_t resource_type = 0;
    std::string resource_name;
    std::string address;        // universal address: a.b.c.d.p1.p2
    std::string address_again;  // the same text, sent twice
    std::string host;
    std::string sender;         // where the connection came from (listener only)
};

constexpr int kAdvertHeaderSize = 6;

std::vector<unsigned char> encode_advertisement(const Advertisement& advert);
Result<Advertisement> decode_advertisement(std::span<const unsigned char> bytes);

// "10.0.0.5.32.0" is 10.0.0.5 port 8192.
Result<Endpoint> parse_universal_address(std::string_view text);

// The agent names its resource "2044" or "2045" (password required)
// followed by the workstation name.
struct ResourceName {
    bool valid = false;
    bool password_required = false;
    std::string workstation;
};
ResourceName parse_resource_name(std::string_view name);

class AdvertListener {
public:
    // Listens on where (empty host: every address; port 0: any free port).
    static Result<AdvertListener> listen(const Endpoint& where);

    uint16_t port() const { return port_; }

    // Waits for one connection, reads until the sender closes it, decodes.
    // A negative timeout waits without limit.
    Result<Advertisement> receive(int timeout_ms);

private:
    AdvertListener() = default;
    UniqueFd fd_;
    uint16_t port_ = 0;
};

}  // namespace grfs_client
