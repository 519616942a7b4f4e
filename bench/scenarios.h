// The measurements of one run: each agent figure and its yardstick, taken
// one right after the other so that both see the same machine.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "bench/agent_process.h"
#include "bench/dataset.h"
#include "bench/pingpong.h"

namespace bench {

// Metric name -> value for one run.
using RunResults = std::map<std::string, double>;

struct BenchSetup {
    Dataset data;
    AgentProcess agent;
    PingPongServer pingpong;
    bool with_tar = true;
    // Empty: every measurement; else only those named (backup, restore,
    // verify, small, listing, sparse), for profiling one path.
    std::vector<std::string> only;
    long verify_round_trips = 8000;  // per slice
    // Wire sizes of the agent's exchanges, for the bounds of the small-file
    // and listing rows (probe_exchange_sizes).
    std::vector<Exchange> small_file_pattern;  // find, open, read, close
    std::vector<Exchange> listing_pattern;     // one GRFS_FIND_NEXT_OBJ
};

// The nice value of a session process of the agent, from one opened and
// ended at once.
int session_nice(const BenchSetup& setup);

// Learns the sizes above from one file and one entry, untimed.
void probe_exchange_sizes(BenchSetup& setup);

// One run of every measurement. agent_first gives the direction of the
// first slice of each row (slice_order); runs alternate it.
RunResults run_once(const BenchSetup& setup, bool agent_first);

// The agent's listener (peak resident size, priority), read after the runs.
void add_listener_facts(const BenchSetup& setup, RunResults& results);

}  // namespace bench
