// grfsclient restore: an archive back into an export.
#include <cstdio>

#include "client/archive_reader.h"
#include "client/command_line.h"
#include "client/progress.h"
#include "client/restore.h"

namespace grfs_client {

namespace {

const char* const kAgentSideLosses =
    "losses the agent does not report to grfsclient (an extended attribute or ACL entry it could not set, "
    "for one) are on the agent's console or in its journal (journalctl -u vestrel-agent)";

const char* const kHelp =
    "usage: grfsclient restore ARCHIVE HOST[:PORT] DLE [--to PATH] [--no-prepare] [session options]\n"
    "\n"
    "Write the files and directories stored in ARCHIVE (made by 'grfsclient backup')\n"
    "back into the export DLE of the agent at HOST (port 8192 unless given), with\n"
    "their owners, modes, times and lengths, as a backup server restores them.\n"
    "Directories get their times last, deepest first, so that creating their\n"
    "entries does not change them. The export must be writable (no write_protect).\n"
    "\n"
    "Options:\n"
    "  --to PATH       restore below directory PATH of the export (relative to its\n"
    "                  root; made when missing) instead of to the original places\n"
    "  --no-prepare    do not ask the agent to shorten names that are too long for\n"
    "                  its file system (its GRFS_PREPARE_DBLK request)\n"
    "\n"
    "A summary names every object that failed and why. Objects whose backup is\n"
    "incomplete are not restored and count as failed. The restore stops at the\n"
    "first object refused because the export's file system is full or the export\n"
    "is write-protected, since every later one would fail alike, and says how many\n"
    "objects it did not try. What the agent could not set without failing the\n"
    "request (an extended attribute or ACL entry the file system or its privileges\n"
    "refuse) is reported only on the agent's console or in its journal.\n"
    "\n"
    "For the protocol-minded: each object is prepared (GRFS_PREPARE_DBLK), created,\n"
    "opened for writing, written stream by stream, given its information and\n"
    "closed; the attach carries the restore bit (reason 0x4) so that the agent\n"
    "also sets lengths and, with preserve_ctime, all attributes.\n"
    "\n"
    "Exit status: 0 when every object was restored, 1 otherwise, 2 usage error.\n";

}  // namespace

int command_restore(const std::vector<std::string>& args, const CommandIo& io) {
    auto parsed = parse_args(args, with_session_options({{"--to", true}, {"--no-prepare", false}}));
    if (!parsed.ok()) return report_error(io, "restore", parsed.error().text, kExitUsage);
    if (parsed->help) {
        std::fputs(kHelp, io.out);
        std::fputs(kSessionOptionsHelp, io.out);
        return kExitOk;
    }
    const auto& pos = parsed->positional;
    if (pos.size() != 3)
        return report_error(io, "restore", "usage: grfsclient restore ARCHIVE HOST[:PORT] DLE [--to PATH]", kExitUsage);
    auto options = peer_options(*parsed, pos[1]);
    if (!options.ok()) return report_error(io, "restore", options.error().text, kExitUsage);
    options->attach.reason = kAttachReasonRestore;
    // A missing or foreign archive is found before the agent is troubled.
    if (auto archive = ArchiveReader::open(pos[0]); !archive.ok())
        return report_error(io, "restore", archive.error().text, kExitFailed);
    auto peer = open_peer(*options, pos[2]);
    if (!peer.ok()) return report_error(io, "restore", peer.error().text, kExitFailed);

    Progress progress(io.progress, io.err);
    RestoreOptions restore;
    restore.to = parsed->value("--to").value_or("");
    restore.prepare = !parsed->flag("--no-prepare");
    restore.on_progress = [&](uint64_t objects, uint64_t bytes) { progress.update(objects, bytes); };
    auto report = restore_archive(*peer, pos[0], restore);
    progress.finish();
    if (!report.ok()) return report_error(io, "restore", report.error().text, kExitFailed);
    peer->close();

    const RestoreReport& r = *report;
    std::fprintf(io.out, "restore of %s to %s on %s%s%s\n", pos[0].c_str(), pos[2].c_str(), options->endpoint.text().c_str(),
                 restore.to.empty() ? "" : " below ", restore.to.c_str());
    // The agent answers some losses with success (an extended attribute its
    // privileges do not allow, for one) and reports them only itself. The
    // counts stay the last line of a restore without failures.
    std::fprintf(io.out, "%s\n", kAgentSideLosses);
    std::fprintf(io.out, "%s; %llu of %llu restored\n", progress.summary(r.objects, r.bytes).c_str(),
                 static_cast<unsigned long long>(r.restored), static_cast<unsigned long long>(r.objects));
    for (const ObjectProblem& n : r.notes) std::fprintf(io.out, "note: %s: %s\n", n.path.c_str(), n.reason.c_str());
    if (!r.stopped.empty())
        std::fprintf(io.out, "stopped: %s; %llu later object(s) not tried\n", r.stopped.c_str(),
                     static_cast<unsigned long long>(r.not_tried));
    if (!r.failures.empty()) {
        std::fprintf(io.out, "%zu object(s) failed:\n", r.failures.size());
        for (const ObjectProblem& f : r.failures) std::fprintf(io.out, "  %s: %s\n", f.path.c_str(), f.reason.c_str());
    }
    return r.ok() ? kExitOk : kExitFailed;
}

}  // namespace grfs_client
