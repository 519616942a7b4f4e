// Whole trees through the agent as an administrator runs it: `grfsclient
// backup` of a tree to an archive, then `grfsclient restore` of that
// archive into an empty export, against `tar -c | loopback socket | tar -x`
// of the same tree, processes and their start-up included on both sides.
#pragma once

#include <string>

#include "bench/host_trees.h"
#include "bench/scenarios.h"

namespace bench {

// Rows "roundtrip_<name>": objects per second of the agent's round trip and
// of the tar pipeline, in `slices` slices. dle is the export of the tree.
void tree_round_trip(const BenchSetup& setup, const TreeFacts& tree, const std::string& dle, const std::string& name,
                     int slices, bool agent_first, RunResults& out);

}  // namespace bench
