// What verify says about an object's description: the block the archive
// holds against the block the agent gives now, field by field. Each
// difference is one text that names the field, the value now and the
// archived value.
#pragma once

#include <string>
#include <vector>

#include "client/dblk_info.h"

namespace grfs_client {

// "regular file", "directory", "symbolic link", ...
std::string object_kind(const Dblk& dblk);

// Whether the two are objects of one kind.
bool same_kind(const Dblk& archived, const Dblk& now);

// Empty when the two describe the same object. A different type is the only
// difference named, the other fields then mean nothing.
std::vector<std::string> compare_blocks(const Dblk& archived, const Dblk& now);

}  // namespace grfs_client
