// The real agent on the scratch data set: a temporary configuration that
// exports the data set and advertises to a private loopback address, the
// session port learnt from the advertisement, and a clean stop.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/dataset.h"

namespace bench {

// Below the scratch directory: the empty export the trees are restored into.
constexpr const char* kTreeCopyDir = "tree-copy";

struct AgentProcess {
    pid_t pid = -1;                 // the listener
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string workstation = "BENCH";
    std::string data_dle = "DATA";
    std::string restore_dle = "RESTORE";
    std::string host_tree_dle = "HOST";    // the generated host-shaped tree
    std::string etc_tree_dle = "ETC";      // the copy of /etc
    std::string tree_copy_dle = "TREECOPY";  // kTreeCopyDir, where the trees are restored
    std::string log_path;           // the agent's standard output and error
};

AgentProcess start_agent(const std::string& binary, const Dataset& d);
// SIGTERM, then waits for the listener; fails loudly when a process of the
// agent is left behind.
void stop_agent(AgentProcess& agent);

// The session process forked for a connection just opened: the child of the
// listener that was not in before. Waits up to a second for it.
pid_t new_session_process(const AgentProcess& agent, const std::vector<pid_t>& before);

}  // namespace bench
