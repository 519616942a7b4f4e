// Restore as a backup server runs it: for every archived object prepare
// its DBLK, create it, open it for writing, write its streams in pieces
// the agent accepts, set its information and close it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/object_problem.h"
#include "client/peer.h"
#include "client/result.h"

namespace grfs_client {

struct RestoreOptions {
    // Directory below the DLE root to restore into; empty restores to the
    // places the objects came from.
    std::string to;
    // Ask the agent to shorten names to what its file system takes.
    bool prepare = true;
    ProgressCallback on_progress;
};

struct RestoreReport {
    uint64_t objects = 0;    // objects in the archive
    uint64_t restored = 0;   // objects restored without a failure
    uint64_t bytes = 0;      // data bytes written
    std::vector<ObjectProblem> failures;
    std::vector<ObjectProblem> notes;
    // Why the restore stopped before the end of the archive (a full file
    // system, a write-protected export); empty when it went through.
    std::string stopped;
    uint64_t not_tried = 0;  // objects after the one it stopped at

    bool ok() const { return failures.empty() && stopped.empty(); }
};

// The peer must be attached to the DLE with the restore bit (0x4) in its
// attach reason, so that the agent sets lengths and all attributes.
// Objects that fail are listed and the restore goes on, except after a
// refusal that every later object would meet too: no space left, or the
// export's write protection. A lost connection or an unreadable archive
// ends it with an error.
Result<RestoreReport> restore_archive(Peer& peer, const std::string& archive_path, const RestoreOptions& options = {});

// The DBLK under which an archived object is restored or verified below
// `to`: directories get their path prefixed; files keep their block and
// live in join_path(to, dir).
Result<Dblk> relocated_dblk(const Dblk& dblk, const std::string& to);

}  // namespace grfs_client
