#include "client/advertisement.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "client/le_bytes.h"
#include "client/nrl_framing.h"

namespace grfs_client {

namespace {
// An advertisement is a few hundred bytes; anything far larger is not one.
constexpr size_t kMaxAdvert = 4096;
}  // namespace

std::vector<unsigned char> encode_advertisement(const Advertisement& a) {
    std::vector<unsigned char> out;
    const size_t size = a.resource_name.size() + a.address.size() + a.address_again.size() + a.host.size() + 4;
    append_le(out, NRL_ADVERTISE, 1);
    append_le(out, 0, 1);
    append_le(out, size, 2);
    append_le(out, a.resource_type, 2);
    for (const std::string* text : {&a.resource_name, &a.address, &a.address_again, &a.host}) {
        out.insert(out.end(), text->begin(), text->end());
        out.push_back(0);
    }
    return out;
}

Result<Advertisement> decode_advertisement(std::span<const unsigned char> bytes) {
    if (bytes.size() < static_cast<size_t>(kAdvertHeaderSize))
        return make_error(ErrorKind::protocol, "advertisement of " + std::to_string(bytes.size()) + " bytes is too short");
    if (bytes[0] != NRL_ADVERTISE)
        return make_error(ErrorKind::protocol, "not an advertisement (message type " + std::to_string(bytes[0]) + ")");
    const size_t size = read_le(bytes.data() + 2, 2);
    if (size != bytes.size() - kAdvertHeaderSize)
        return make_error(ErrorKind::protocol, "advertisement states " + std::to_string(size) + " bytes after its header, carries " +
                                                   std::to_string(bytes.size() - kAdvertHeaderSize));
    Advertisement a;
    a.resource_type = static_cast<uint16_t>(read_le(bytes.data() + 4, 2));
    size_t pos = kAdvertHeaderSize;
    for (std::string* text : {&a.resource_name, &a.address, &a.address_again, &a.host}) {
        const void* zero = std::memchr(bytes.data() + pos, 0, bytes.size() - pos);
        if (zero == nullptr) return make_error(ErrorKind::protocol, "advertisement text not terminated");
        const size_t end = static_cast<size_t>(static_cast<const unsigned char*>(zero) - bytes.data());
        text->assign(reinterpret_cast<const char*>(bytes.data() + pos), end - pos);
        pos = end + 1;
    }
    if (pos != bytes.size()) return make_error(ErrorKind::protocol, "advertisement has bytes after its host name");
    return a;
}

Result<Endpoint> parse_universal_address(std::string_view text) {
    const Error bad = make_error(ErrorKind::protocol, "bad universal address '" + std::string(text) + "'");
    std::vector<unsigned> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = text.find('.', start);
        std::string_view part = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (part.empty() || part.size() > 3) return bad;
        unsigned value = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return bad;
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (value > 255) return bad;
        parts.push_back(value);
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 6) return bad;
    Endpoint e;
    e.host = std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
             std::to_string(parts[3]);
    e.port = static_cast<uint16_t>(parts[4] * 256 + parts[5]);
    return e;
}

ResourceName parse_resource_name(std::string_view name) {
    ResourceName r;
    if (name.size() > 4 && name.substr(0, 3) == "204" && (name[3] == '4' || name[3] == '5')) {
        r.valid = true;
        r.password_required = name[3] == '5';
        r.workstation = std::string(name.substr(4));
    }
    return r;
}

Result<AdvertListener> AdvertListener::listen(const Endpoint& where) {
    auto address = resolve_ipv4(where.host, where.port);
    if (!address.ok()) return address.error();
    AdvertListener l;
    l.fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!l.fd_.valid()) return make_error(ErrorKind::io, std::string("socket: ") + std::strerror(errno));
    int one = 1;
    setsockopt(l.fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(l.fd_.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(sockaddr_in)) != 0)
        return make_error(ErrorKind::io, "cannot listen on " + address_text(*address) + ": " + std::strerror(errno));
    if (::listen(l.fd_.get(), 16) != 0) return make_error(ErrorKind::io, std::string("listen: ") + std::strerror(errno));
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(l.fd_.get(), reinterpret_cast<sockaddr*>(&bound), &len);
    l.port_ = ntohs(bound.sin_port);
    return l;
}

Result<Advertisement> AdvertListener::receive(int timeout_ms) {
    pollfd p{fd_.get(), POLLIN, 0};
    for (;;) {
        int n = ::poll(&p, 1, timeout_ms);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return make_error(ErrorKind::io, std::string("poll: ") + std::strerror(errno));
        if (n == 0) return make_error(ErrorKind::timeout, "no advertisement within " + std::to_string(timeout_ms / 1000) + " s");
        break;
    }
    sockaddr_in from{};
    socklen_t len = sizeof from;
    UniqueFd conn(::accept4(fd_.get(), reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!conn.valid()) return make_error(ErrorKind::io, std::string("accept: ") + std::strerror(errno));
    // The sender writes one message and closes; a silent one is cut off.
    auto bytes = recv_until_close(conn.get(), kMaxAdvert, 10000);
    if (!bytes.ok()) return bytes.error();
    auto advert = decode_advertisement(std::span(reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size()));
    if (!advert.ok()) {
        Error e = advert.error();
        e.text = "from " + address_text(from) + ": " + e.text;
        return e;
    }
    advert->sender = address_text(from);
    return advert;
}

}  // namespace grfs_client
