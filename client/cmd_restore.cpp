// grfsclient restore: an archive back into an export.
#include <cstdio>

#include "client/archive_reader.h"
#include "client/command_line.h"
#include "client/progress.h"
#include "client/restore.h"

namespace grfs_client {

namespace {

const char* const kHelp =
    "usage: grfsclient restore ARCHIVE HOST[:PORT] DLE [--to PATH] [--no-prepare] [session options]\n"
    "\n"
    "Replay ARCHIVE (made by 'grfsclient backup') into the export DLE of the agent\n"
    "at HOST (port 8192 unless given) as a backup server does: for every object\n"
    "prepare its DBLK, create it, open it for writing, write every stream in pieces\n"
    "the agent accepts (resending a stream whole when the agent asks for a larger\n"
    "piece), set its information and close it. The attach carries reason bit 0x4,\n"
    "so the agent also sets lengths and, with preserve_ctime, all attributes.\n"
    "Directories get their information last, deepest first, so that their times\n"
    "survive the creation of their entries; symbolic links get theirs after the\n"
    "close that makes them.\n"
    "\n"
    "Options:\n"
    "  --to PATH       restore below directory PATH of the export (relative to its\n"
    "                  root; made when missing) instead of to the original places\n"
    "  --no-prepare    do not ask the agent to shorten names (GRFS_PREPARE_DBLK)\n"
    "\n"
    "A summary names every object that failed and why. Objects whose backup is\n"
    "incomplete are not restored and count as failed.\n"
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
    std::fprintf(io.out, "%s; %llu of %llu restored\n", progress.summary(r.objects, r.bytes).c_str(),
                 static_cast<unsigned long long>(r.restored), static_cast<unsigned long long>(r.objects));
    for (const ObjectProblem& n : r.notes) std::fprintf(io.out, "note: %s: %s\n", n.path.c_str(), n.reason.c_str());
    if (!r.failures.empty()) {
        std::fprintf(io.out, "%zu object(s) failed:\n", r.failures.size());
        for (const ObjectProblem& f : r.failures) std::fprintf(io.out, "  %s: %s\n", f.path.c_str(), f.reason.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace grfs_client
