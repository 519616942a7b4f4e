// grfsclient ls: the exports of an agent, or the objects of one, like ls -l.
#include <algorithm>
#include <cstdio>

#include "client/command_line.h"
#include "client/link_record.h"
#include "client/ls_format.h"
#include "client/object_problem.h"

namespace grfs_client {

namespace {

const char* const kHelp =
    "usage: grfsclient ls HOST[:PORT] [DLE [PATH]] [-R] [session options]\n"
    "\n"
    "Without DLE, list the exports (DLEs) of the agent at HOST (port 8192 unless\n"
    "given): name, whether a password is required, whether it is writable.\n"
    "With DLE, list the objects of directory PATH of that export (its root when\n"
    "PATH is left out) the way 'ls -l' does: mode, links, owner and group (numbers\n"
    "on the agent's host), size (major, minor for devices), modification time (the\n"
    "agent's local time), name, and '-> target' for symbolic links.\n"
    "\n"
    "Options:\n"
    "  -R, --recursive     list every directory below PATH too, each after a 'DIR:' line\n";

struct Lister {
    Peer& peer;
    const CommandIo& io;
    bool recursive;
    bool failed = false;

    // A refused directory is reported and skipped; a lost session ends
    // the listing.
    Status list(const std::string& path, bool header, bool first) {
        auto entries = peer.list_directory(path);
        if (!entries.ok()) {
            if (entries.error().kind != ErrorKind::retcode) return entries.error();
            report_error(io, "ls", "cannot list '" + shown_path(path) + "': " + entries.error().text, kExitFailed);
            failed = true;
            return {};
        }
        std::sort(entries->begin(), entries->end(),
                  [](const Dblk& a, const Dblk& b) { return a.base_name() < b.base_name(); });
        if (header) std::fprintf(io.out, "%s%s:\n", first ? "" : "\n", shown_path(path).c_str());
        std::vector<std::string> subdirectories;
        for (const Dblk& d : *entries) {
            std::string target;
            if (d.is_symlink()) {
                auto streams = peer.read_object(path, d);
                if (!streams.ok() && streams.error().kind != ErrorKind::retcode) return streams.error();
                if (streams.ok()) target = link_target(*streams).value_or("");
                if (target.empty()) target = "?";
            }
            std::fprintf(io.out, "%s\n", long_listing(d, d.base_name(), target).c_str());
            if (d.is_directory() && !d.text().empty()) subdirectories.push_back(d.text());
        }
        std::fflush(io.out);
        if (!recursive) return {};
        for (const std::string& sub : subdirectories) {
            if (Status s = list(sub, true, false); !s.ok()) return s;
        }
        return {};
    }
};

int list_exports(const PeerOptions& options, const CommandIo& io) {
    auto peer = Peer::connect(options);
    if (!peer.ok()) return report_error(io, "ls", peer.error().text, kExitFailed);
    auto dles = peer->list_dles();
    if (!dles.ok()) return report_error(io, "ls", dles.error().text, kExitFailed);
    for (const DleInfo& d : *dles) {
        std::fprintf(io.out, "%-32s %s %s\n", d.name.c_str(), d.password_required ? "password" : "no-password",
                     d.writable ? "writable" : "read-only");
    }
    return kExitOk;
}

}  // namespace

int command_ls(const std::vector<std::string>& args, const CommandIo& io) {
    auto parsed = parse_args(args, with_session_options({{"-R", false}, {"--recursive", false}}));
    if (!parsed.ok()) return report_error(io, "ls", parsed.error().text, kExitUsage);
    if (parsed->help) {
        std::fputs(kHelp, io.out);
        std::fputs(kSessionOptionsHelp, io.out);
        return kExitOk;
    }
    const auto& pos = parsed->positional;
    if (pos.empty() || pos.size() > 3) return report_error(io, "ls", "usage: grfsclient ls HOST[:PORT] [DLE [PATH]] [-R]", kExitUsage);
    auto options = peer_options(*parsed, pos[0]);
    if (!options.ok()) return report_error(io, "ls", options.error().text, kExitUsage);
    if (pos.size() == 1) return list_exports(*options, io);

    const std::string path = strip_slashes(pos.size() == 3 ? pos[2] : "");
    auto peer = open_peer(*options, pos[1]);
    if (!peer.ok()) return report_error(io, "ls", peer.error().text, kExitFailed);
    const bool recursive = parsed->flag("-R") || parsed->flag("--recursive");
    Lister lister{*peer, io, recursive};
    if (Status s = lister.list(path, recursive, true); !s.ok()) return report_error(io, "ls", s.text, kExitFailed);
    return lister.failed ? kExitFailed : kExitOk;
}

}  // namespace grfs_client
