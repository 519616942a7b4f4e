// grfsclient verify: an export compared with an archive.
#include <cstdio>

#include "client/archive_reader.h"
#include "client/command_line.h"
#include "client/progress.h"
#include "client/verify.h"

namespace grfs_client {

namespace {

const char* const kHelp =
    "usage: grfsclient verify ARCHIVE HOST[:PORT] DLE [--to PATH] [--no-contents] [--no-extras] [session options]\n"
    "\n"
    "Compare the export DLE of the agent at HOST (port 8192 unless given) with\n"
    "ARCHIVE: every archived object is described by the agent as it is now and\n"
    "compared field by field (type, mode, owner, group, size except of\n"
    "directories, modification time to the second, device numbers); every\n"
    "object with a byte sequence is opened for verify and read\n"
    "back: data byte by byte, a link's target, each ACL entry and each extended\n"
    "attribute by name, and, where both sides carry the LXMD stream, the\n"
    "modification and access times to the nanosecond and each inode flag; and\n"
    "objects the export holds but the archive does not are named. A difference\n"
    "in the content names the part it lies in by its stream: STAN the file's\n"
    "data, O2NU a symbolic link's target, IACL its ACLs, LXAT its extended\n"
    "attributes, LXMD its times and inode flags.\n"
    "\n"
    "Options:\n"
    "  --to PATH       compare with the copy restored below PATH (as restore --to)\n"
    "  --no-contents   do not read back byte sequences (nor the link targets,\n"
    "                  ACLs and attributes they carry)\n"
    "  --no-extras     do not look for objects missing from the archive\n"
    "\n"
    "A summary names every object that differs and each of its differences; it\n"
    "is printed also when the comparison had to stop early.\n"
    "Exit status: 0 when nothing differs, 1 otherwise, 2 usage error.\n";

}  // namespace

int command_verify(const std::vector<std::string>& args, const CommandIo& io) {
    auto parsed =
        parse_args(args, with_session_options({{"--to", true}, {"--no-contents", false}, {"--no-extras", false}}));
    if (!parsed.ok()) return report_error(io, "verify", parsed.error().text, kExitUsage);
    if (parsed->help) {
        std::fputs(kHelp, io.out);
        std::fputs(kSessionOptionsHelp, io.out);
        return kExitOk;
    }
    const auto& pos = parsed->positional;
    if (pos.size() != 3) return report_error(io, "verify", "usage: grfsclient verify ARCHIVE HOST[:PORT] DLE", kExitUsage);
    auto options = peer_options(*parsed, pos[1]);
    if (!options.ok()) return report_error(io, "verify", options.error().text, kExitUsage);
    // A missing or foreign archive is found before the agent is troubled.
    if (auto archive = ArchiveReader::open(pos[0]); !archive.ok())
        return report_error(io, "verify", archive.error().text, kExitFailed);
    auto peer = open_peer(*options, pos[2]);
    if (!peer.ok()) return report_error(io, "verify", peer.error().text, kExitFailed);

    Progress progress(io.progress, io.err);
    VerifyOptions verify;
    verify.to = parsed->value("--to").value_or("");
    verify.contents = !parsed->flag("--no-contents");
    verify.extras = !parsed->flag("--no-extras");
    verify.on_progress = [&](uint64_t objects, uint64_t bytes) { progress.update(objects, bytes); };
    auto report = verify_archive(*peer, pos[0], verify);
    progress.finish();
    if (!report.ok()) return report_error(io, "verify", report.error().text, kExitFailed);
    peer->close();

    const VerifyReport& r = *report;
    std::fprintf(io.out, "verify of %s on %s against %s\n", pos[2].c_str(), options->endpoint.text().c_str(), pos[0].c_str());
    std::fprintf(io.out, "%s compared; %llu of %llu objects match\n", progress.summary(r.objects, r.bytes_compared).c_str(),
                 static_cast<unsigned long long>(r.matched), static_cast<unsigned long long>(r.objects));
    if (!r.stopped.empty()) std::fprintf(io.out, "verify stopped early, the rest is not compared: %s\n", r.stopped.c_str());
    if (!r.differences.empty()) {
        std::fprintf(io.out, "%zu difference(s):\n", r.differences.size());
        for (const ObjectProblem& d : r.differences) std::fprintf(io.out, "  %s: %s\n", d.path.c_str(), d.reason.c_str());
    }
    if (!r.ok()) return kExitFailed;
    std::fprintf(io.out, "no differences\n");
    return kExitOk;
}

}  // namespace grfs_client
