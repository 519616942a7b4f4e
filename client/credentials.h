// Attach credentials: the scrambling a sender applies to the name and
// password fields of GRFS_ATTACH_DLE, its inverse, and the forms in which
// the agent holds names and passwords.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace grfs_client {

constexpr size_t kCredentialFieldSize = 128;

// Sender side: xor the password's 16-bit words with the byte sum of the
// plain name, then the name's words with the byte sum of the scrambled
// password. Byte 2i takes the sum's low byte, byte 2i+1 its high byte; the
// sums cover all 128 bytes of each field.
void scramble_credentials(std::span<char, kCredentialFieldSize> name,
                          std::span<char, kCredentialFieldSize> password);

// Receiver side, the inverse: the name with the sum of the password as
// received, then the password with the sum of the plain name.
void unscramble_credentials(std::span<char, kCredentialFieldSize> name,
                            std::span<char, kCredentialFieldSize> password);

// The agent keeps configured passwords upper-cased and compares exactly.
std::string upper_case(std::string_view text);

// What the agent makes of a configured workstation name: upper-cased, every
// character other than A-Z and 0-9 replaced by '_'.
std::string mangle_workstation_name(std::string_view text);

// The longest workstation name the agent keeps.
constexpr size_t kWorkstationNameMax = 35;

// Workstation names to try when none is given, each followed by its mangled
// form (what a name line with that name gives): for a loopback address this
// host's name as the host name call returns it (what an agent here without
// a name line uses); for a host name its first label as written; nothing
// for any other address.
std::vector<std::string> default_workstation_names(std::string_view host);

}  // namespace grfs_client
