// What an administrator would otherwise use: tar writing the same trees to
// a loopback TCP socket (and, for the restore, tar reading them back from
// one), timed with process start-up included.
#pragma once

#include <map>
#include <string>

#include "bench/dataset.h"

namespace bench {

void tar_reference(const Dataset& d, std::map<std::string, double>& out);

}  // namespace bench
