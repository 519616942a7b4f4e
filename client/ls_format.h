// Objects printed the way `ls -l` prints files.
#pragma once

#include <cstdint>
#include <string>

#include "client/dblk_info.h"
#include "grfs/xdr.h"

namespace grfs_client {

// "drwxr-xr-x", with s/S, t/T for the special bits; '?' for an unknown type.
std::string mode_string(uint32_t mode);

// "2024-05-01 12:34" (the agent's local time); "-" when the date is absent.
std::string date_string(const DATE_TIME& date);

// One line without its line end: mode, links, owner, group, size (or
// "major, minor" for a device), modification time, name, and
// " -> target" for a link whose target is known.
std::string long_listing(const Dblk& dblk, const std::string& name, const std::string& link_target);

// "1.5 MiB".
std::string byte_count_text(uint64_t bytes);

}  // namespace grfs_client
