// Mount points of kernel pseudo file systems (proc, sysfs, cgroup, ...),
// which start-up excludes so that an export of / does not read them.
#pragma once

#include <string>
#include <vector>

#include "mount/mount_table_reader.h"

bool is_pseudo_fs_type(const char* fs_type);
// In mount-table order, each mount point once; empty when the table cannot
// be read.
std::vector<std::string> pseudo_fs_mount_points(const char* table_path = kDefaultMountTable);
