// The table of one benchmark invocation: medians and ranges over the runs,
// each agent figure beside its yardstick, printed as a Markdown table and
// written as JSON.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace bench {

struct MachineInfo {
    int cpus = 0;
    std::string cpu_model;
    std::string kernel;
    std::string load_before;
    std::string load_after;
    std::string started;  // UTC, ISO 8601
    int slices = 0;       // per row and run
    std::string cpus_pinned;  // --cpus, empty when not given
};

using RunResults = std::map<std::string, double>;

// skipped: key prefix of rows that were not measured -> why; those rows
// say so.
std::string render_table(const std::vector<RunResults>& runs, const std::map<std::string, std::string>& skipped = {});
// The nice values in force: of the session process, ping-pong server,
// client and tar in every row and run, and of the listener.
std::string render_priorities(const std::vector<RunResults>& runs);
// Where the time goes: CPU time of the agent's session process and of the
// ping-pong server per round trip.
std::string render_cpu_table(const std::vector<RunResults>& runs);
std::string render_json(const std::vector<RunResults>& runs, const MachineInfo& machine);

}  // namespace bench
