// Verify: compare an export with an archive. Every archived object's block
// is compared field by field with the one the agent gives now, the byte
// sequence of every object that has one is read back and compared (the
// streams of attributes entry by entry), and objects found in the export
// but not in the archive are named.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/object_problem.h"
#include "client/peer.h"
#include "client/result.h"

namespace grfs_client {

struct VerifyOptions {
    std::string to;          // where the archive was restored to, as for restore
    bool contents = true;    // read back and compare byte sequences
    bool extras = true;      // name objects that the archive does not hold
    ProgressCallback on_progress;
};

struct VerifyReport {
    uint64_t objects = 0;         // objects in the archive
    uint64_t matched = 0;         // objects without a difference
    uint64_t bytes_compared = 0;
    std::vector<ObjectProblem> differences;  // one per object, its differences joined by "; "
    // Why the comparison ended early (the session or the archive failed);
    // empty when every object was compared.
    std::string stopped;

    bool ok() const { return differences.empty() && stopped.empty(); }
};

Result<VerifyReport> verify_archive(Peer& peer, const std::string& archive_path, const VerifyOptions& options = {});

}  // namespace grfs_client
