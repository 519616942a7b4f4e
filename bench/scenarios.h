// The measurements of one run: each agent figure and its yardstick, taken
// one right after the other so that both see the same machine.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "bench/agent_process.h"
#include "bench/blkio_cgroup.h"
#include "bench/dataset.h"
#include "bench/host_trees.h"
#include "bench/pingpong.h"

namespace bench {

// Metric name -> value for one run.
using RunResults = std::map<std::string, double>;

struct BenchSetup {
    Dataset data;
    AgentProcess agent;
    PingPongServer pingpong;
    bool with_tar = true;
    HostTrees trees;
    std::string grfsclient;   // the program, for the round trips of whole trees
    std::string archive_dir;  // where their archives go (tmpfs where there is one)
    int tree_slices = 2;      // slices of the host-shaped tree's round trip per run
    // The long rows (the host-shaped tree's round trip, the cold-cache
    // backups) run in the first heavy_runs runs only, to keep a run short.
    int heavy_runs = 2;
    // The disk slowed below the wire for the cold-cache rows; nullptr when
    // they are skipped (cold_skipped says why).
    ThrottledDisk* disk = nullptr;
    std::string cold_skipped;
    // Empty: every measurement; else only those named (backup, restore,
    // verify, small, listing, sparse, etc, host, cold), for profiling one path.
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

// One run of every measurement (of the long ones only when heavy). agent_first gives the direction of the
// first slice of each row (slice_order); runs alternate it.
RunResults run_once(const BenchSetup& setup, bool agent_first, bool heavy);

// The agent's listener (peak resident size, priority), read after the runs.
void add_listener_facts(const BenchSetup& setup, RunResults& results);

}  // namespace bench
