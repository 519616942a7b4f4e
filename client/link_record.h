// The record a symbolic link reads as (its EA stream): a 4-byte length in
// the agent's byte order, the link's name and its target, each ending with
// a zero byte.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/requests.h"

namespace grfs_client {

struct LinkRecord {
    std::string name;
    std::string target;
};

std::optional<LinkRecord> parse_link_record(std::span<const unsigned char> bytes);

// The record of a link as a restore writes it; the length word in this
// host's byte order, which is the agent's when both run on one host.
std::vector<unsigned char> make_link_record(const std::string& name, const std::string& target);

// The target from an object's streams, when one of them is the EA stream.
std::optional<std::string> link_target(const std::vector<StreamBytes>& streams);

}  // namespace grfs_client
