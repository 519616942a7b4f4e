// A file that must not outlive an interrupted program: while a path is
// registered, SIGINT, SIGTERM and SIGHUP remove it before the signal ends
// the program as it would have without the handler.
#pragma once

#include <string>

namespace grfs_client {

// Registers path (one at a time; a second call replaces the first) and
// installs the handlers. False when the path is too long to keep.
bool remove_on_interrupt(const std::string& path);

// Forgets the path and puts the earlier handlers back.
void keep_on_interrupt();

}  // namespace grfs_client
