// A file that must not outlive an interrupted program: while a path is
// registered, SIGINT, SIGTERM and SIGHUP remove it before the signal ends
// the program as it would have without the handler.
#pragma once

#include <string>

namespace grfs_client {

// Creates a file, mode 0600, from a mkstemp template (its name is put in
// name_template) and registers it (one at a time; a second call replaces
// the first), with the signals held in between so that none can leave the
// file behind. Returns its descriptor (close-on-exec), or -1 with errno.
int create_removed_on_interrupt(std::string& name_template);

// Forgets the path and puts the earlier handlers back.
void keep_on_interrupt();

}  // namespace grfs_client
