// grfsclient backup: an export into an archive file.
#include <cstdio>

#include "client/backup.h"
#include "client/command_line.h"
#include "client/ls_format.h"
#include "client/progress.h"

namespace grfs_client {

namespace {

const char* const kHelp =
    "usage: grfsclient backup HOST[:PORT] DLE ARCHIVE [session options]\n"
    "\n"
    "Walk the whole export DLE of the agent at HOST (port 8192 unless given) as a\n"
    "backup server does and store every file, directory and link in the file\n"
    "ARCHIVE: its name, owner, mode and times (the agent's data block, DBLK) and\n"
    "its whole content as the agent sends it (the data, and the ACLs and extended\n"
    "attributes where the agent sends them). The format is described in\n"
    "docs/archive-format.md. ARCHIVE is created readable by its owner only (mode\n"
    "0600) and written under a temporary name beside it, then renamed over it when\n"
    "complete: an existing archive stays whole until then, also when the backup\n"
    "fails or is interrupted (Ctrl-C, SIGTERM), and the temporary file is removed.\n"
    "A progress line is shown on a terminal; a summary follows, naming every\n"
    "object that could not be read whole. FIFOs and sockets are stored without\n"
    "data (the agent does not open them); that is not a failure.\n"
    "\n"
    "Exit status: 0 when every object was stored whole, 1 otherwise, 2 usage error.\n";

}  // namespace

int command_backup(const std::vector<std::string>& args, const CommandIo& io) {
    auto parsed = parse_args(args, with_session_options({}));
    if (!parsed.ok()) return report_error(io, "backup", parsed.error().text, kExitUsage);
    if (parsed->help) {
        std::fputs(kHelp, io.out);
        std::fputs(kSessionOptionsHelp, io.out);
        return kExitOk;
    }
    const auto& pos = parsed->positional;
    if (pos.size() != 3) return report_error(io, "backup", "usage: grfsclient backup HOST[:PORT] DLE ARCHIVE", kExitUsage);
    auto options = peer_options(*parsed, pos[0]);
    if (!options.ok()) return report_error(io, "backup", options.error().text, kExitUsage);
    auto peer = open_peer(*options, pos[1]);
    if (!peer.ok()) return report_error(io, "backup", peer.error().text, kExitFailed);

    Progress progress(io.progress, io.err);
    BackupOptions backup;
    backup.on_progress = [&](uint64_t objects, uint64_t bytes) { progress.update(objects, bytes); };
    auto report = backup_export(*peer, pos[2], backup);
    progress.finish();
    if (!report.ok()) return report_error(io, "backup", report.error().text, kExitFailed);
    peer->close();

    const BackupReport& r = *report;
    std::fprintf(io.out, "backup of %s on %s to %s\n", pos[1].c_str(), options->endpoint.text().c_str(), pos[2].c_str());
    std::fprintf(io.out, "%s: %llu directories, %llu files, %llu links, %llu others\n",
                 progress.summary(r.objects, r.bytes).c_str(), static_cast<unsigned long long>(r.directories),
                 static_cast<unsigned long long>(r.files), static_cast<unsigned long long>(r.links),
                 static_cast<unsigned long long>(r.others));
    for (const ObjectProblem& n : r.notes) std::fprintf(io.out, "note: %s: %s\n", n.path.c_str(), n.reason.c_str());
    if (!r.failures.empty()) {
        std::fprintf(io.out, "%zu object(s) not stored whole:\n", r.failures.size());
        for (const ObjectProblem& f : r.failures) std::fprintf(io.out, "  %s: %s\n", f.path.c_str(), f.reason.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace grfs_client
