// Backup as a backup server runs it: walk the whole export, and for every
// object store its DBLK and the byte sequence it reads as, stream headers
// included, in an archive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/object_problem.h"
#include "client/peer.h"
#include "client/result.h"

namespace grfs_client {

struct BackupOptions {
    std::string start;             // subtree to back up, relative to the DLE root; empty for all
    bool descend_at_once = true;   // see WalkOptions
    ProgressCallback on_progress;
};

struct BackupReport {
    uint64_t objects = 0;
    uint64_t directories = 0;
    uint64_t files = 0;            // regular files
    uint64_t links = 0;            // symbolic links
    uint64_t others = 0;           // devices, FIFOs, sockets
    uint64_t bytes = 0;            // data bytes stored
    std::vector<ObjectProblem> failures;  // objects stored incomplete or not at all
    std::vector<ObjectProblem> notes;     // expected gaps and warnings (a FIFO has no data)

    bool ok() const { return failures.empty(); }
};

// Writes the archive at archive_path (replacing a file there once it is
// complete; see ArchiveWriter). The peer must be attached to the DLE. A
// lost connection or an archive that cannot be written ends the backup with
// an error; a file at archive_path is then left as it was.
Result<BackupReport> backup_export(Peer& peer, const std::string& archive_path, const BackupOptions& options = {});

}  // namespace grfs_client
