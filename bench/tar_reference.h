// What an administrator would otherwise use: tar writing the same trees to
// a loopback TCP socket (and, for the restore, tar reading them back from
// one), timed with process start-up included.
#pragma once

#include <map>
#include <string>

#include "bench/dataset.h"

namespace bench {

// The rows of tar -c alone: the 256 MiB file, the small files, the listings.
void tar_reference(const Dataset& d, std::map<std::string, double>& out);

// tar -c | loopback socket | tar -x of the 256 MiB file into a directory of
// the scratch tree, checked and removed afterwards; seconds taken. nice
// receives tar's priority.
double tar_restore_copy(const Dataset& d, int* nice);

// tar -c -C dir name | loopback socket | tar -x -C into; seconds taken, process
// start-up included. nice receives the priority of the extracting tar.
double tar_copy(const std::string& dir, const std::string& name, const std::string& into, int* nice);

}  // namespace bench
