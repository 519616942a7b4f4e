#include "client/credentials.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "client/socket_io.h"

namespace grfs_client {

namespace {

uint16_t byte_sum(std::span<const char, kCredentialFieldSize> field) {
    uint16_t sum = 0;
    for (char c : field) sum = static_cast<uint16_t>(sum + static_cast<unsigned char>(c));
    return sum;
}

void xor_words(std::span<char, kCredentialFieldSize> field, uint16_t key) {
    for (size_t i = 0; i + 1 < field.size(); i += 2) {
        field[i] = static_cast<char>(static_cast<unsigned char>(field[i]) ^ (key & 0xFF));
        field[i + 1] = static_cast<char>(static_cast<unsigned char>(field[i + 1]) ^ (key >> 8));
    }
}

}  // namespace

void scramble_credentials(std::span<char, kCredentialFieldSize> name, std::span<char, kCredentialFieldSize> password) {
    xor_words(password, byte_sum(name));
    xor_words(name, byte_sum(password));
}

void unscramble_credentials(std::span<char, kCredentialFieldSize> name, std::span<char, kCredentialFieldSize> password) {
    xor_words(name, byte_sum(password));
    xor_words(password, byte_sum(name));
}

std::string upper_case(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string mangle_workstation_name(std::string_view text) {
    std::string out = upper_case(text);
    for (char& c : out)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) c = '_';
    return out;
}

std::vector<std::string> default_workstation_names(std::string_view host) {
    std::vector<std::string> names;
    std::string base;
    if (is_loopback_address(host)) {
        // The agent is on this host and, without a name line, is called
        // after it exactly as the host name call returns it.
        char local[256] = {};
        if (gethostname(local, sizeof local - 1) != 0 || local[0] == '\0') return names;
        base.assign(local, strnlen(local, kWorkstationNameMax));
    } else if (!host.empty() && !is_ipv4_literal(host)) {
        base = std::string(host.substr(0, host.find('.')));
    } else {
        return names;
    }
    names.push_back(base);
    std::string mangled = mangle_workstation_name(base);
    if (mangled != base) names.push_back(mangled);
    return names;
}

}  // namespace grfs_client
