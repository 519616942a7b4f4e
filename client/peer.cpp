#include "client/peer.h"

#include <algorithm>

#include "client/credentials.h"
#include "client/retcodes.h"

namespace grfs_client {

Result<Peer> Peer::connect(const PeerOptions& options) {
    std::vector<std::string> names = options.workstation_names;
    if (names.empty()) names = default_workstation_names(options.endpoint.host);
    if (names.empty()) {
        return make_error(ErrorKind::usage, "the workstation name cannot be derived from the address " +
                                                options.endpoint.host + "; give --workstation NAME");
    }
    auto connection = Connection::open(options.endpoint, options.connect);
    if (!connection.ok()) return connection.error();
    Peer peer(std::move(*connection), options);
    const std::string password = upper_case(options.workstation_password);
    Error last;
    for (const std::string& name : names) {
        auto attached = attach_workstation(peer.connection_, name, password, options.attach);
        if (attached.ok()) {
            peer.workstation_ = *attached;
            peer.workstation_name_ = name;
            return peer;
        }
        last = attached.error();
        if (last.kind != ErrorKind::retcode) return last;
    }
    if (names.size() > 1) {
        std::string tried;
        for (const std::string& name : names) tried += (tried.empty() ? "" : ", ") + name;
        last.text = "attach to the workstation with the names " + tried + ": " +
                    (last.retcode == GRFS_RC_ACCESS_DENIED ? std::string(kWorkstationAccessDenied) + ", retcode -507"
                                                           : retcode_text(last.retcode)) +
                    "; give --workstation NAME and check the workstation password";
    }
    peer.connection_.end();
    return last;
}

Peer::~Peer() { close(); }

uint32_t Peer::piece_size() const {
    uint32_t size = dle_.max_obj_bsize != 0 ? dle_.max_obj_bsize : options_.attach.bsize;
    return std::clamp<uint32_t>(size, 1, GRFS_OBJECT_BUFFER_SIZE);
}

Status Peer::attach(std::string_view dle) {
    if (dle_.dle_id != 0) {
        (void)detach(connection_, dle_.dle_id);
        dle_ = AttachInfo{};
    }
    auto attached = attach_dle(connection_, workstation_.dle_id, dle, upper_case(options_.dle_password), options_.attach);
    if (!attached.ok()) return attached.error();
    dle_ = *attached;
    dle_name_ = std::string(dle);
    current_dir_.clear();
    current_dir_known_ = true;  // an attach starts at the DLE's root
    return {};
}

Result<std::vector<DleInfo>> Peer::list_dles() { return grfs_client::list_dles(connection_, workstation_.dle_id); }

Status Peer::change_dir(std::string_view path) {
    if (current_dir_known_ && current_dir_ == path) return {};
    current_dir_known_ = false;
    if (Status s = grfs_client::change_dir(connection_, dle_.dle_id, path); !s.ok()) return s;
    current_dir_ = std::string(path);
    current_dir_known_ = true;
    return {};
}

Status Peer::walk(std::string_view start, const WalkOptions& options, const WalkCallback& on_entry) {
    const std::string dir = strip_slashes(start);
    if (Status s = change_dir(dir); !s.ok()) return s;
    std::vector<std::pair<uint32_t, uint64_t>> ancestors;
    if (options.include_start) {
        auto ddb = get_current_ddb(connection_, dle_.dle_id);
        if (!ddb.ok()) return ddb.error();
        const UnixInfo& u = ddb->unix_info();
        if (u.version != 0) ancestors.emplace_back(u.dev, u.ino);
        auto slash = dir.rfind('/');
        WalkEntry entry{slash == std::string::npos ? std::string() : dir.substr(0, slash), *ddb};
        if (Status s = on_entry(entry); !s.ok()) return s;
        if (Status s = change_dir(dir); !s.ok()) return s;
    }
    return walk_directory(dir, options, on_entry, 0, ancestors);
}

Status Peer::walk_directory(const std::string& dir, const WalkOptions& options, const WalkCallback& on_entry, int depth,
                            std::vector<std::pair<uint32_t, uint64_t>>& ancestors) {
    auto report = [&](const std::string& path, const Error& e) -> Status {
        // Trouble with the connection ends the walk whatever the caller says.
        if (e.kind != ErrorKind::retcode || !options.on_error) return e;
        return options.on_error(path, e);
    };
    if (Status s = change_dir(dir); !s.ok()) return report(dir, s);
    auto found = find_first(connection_, dle_.dle_id);
    if (!found.ok()) return report(dir, found.error());

    std::vector<Dblk> pending;  // directories to enter after the listing
    auto descend = [&](const Dblk& sub) -> Status {
        const UnixInfo& u = sub.unix_info();
        // A directory that is its own ancestor (a followed link) would
        // never end.
        if (u.version != 0 &&
            std::find(ancestors.begin(), ancestors.end(), std::make_pair(u.dev, u.ino)) != ancestors.end()) {
            return report(sub.text(), make_error(ErrorKind::retcode, "directory loop, not entered", GRFS_RC_NOT_FOUND));
        }
        if (depth >= 128) return report(sub.text(), make_error(ErrorKind::retcode, "too deep, not entered", GRFS_RC_NOT_FOUND));
        if (u.version != 0) ancestors.emplace_back(u.dev, u.ino);
        Status s = walk_directory(sub.text(), options, on_entry, depth + 1, ancestors);
        if (u.version != 0) ancestors.pop_back();
        return s;
    };

    while (found->has_value()) {
        Dblk dblk = std::move(**found);
        WalkEntry entry{dir, dblk};
        if (Status s = on_entry(entry); !s.ok()) return s;
        if (options.recursive && dblk.is_directory() && !dblk.text().empty()) {
            if (options.descend_at_once) {
                if (Status s = descend(dblk); !s.ok()) return s;
            } else {
                pending.push_back(dblk);
            }
        }
        // The callback or the descent may have moved elsewhere; the
        // search goes on in this directory.
        if (Status s = change_dir(dir); !s.ok()) return report(dir, s);
        found = find_next(connection_, dle_.dle_id, dblk);
        if (!found.ok()) return report(dir, found.error());
    }
    for (const Dblk& sub : pending) {
        if (Status s = descend(sub); !s.ok()) return s;
    }
    return {};
}

Result<std::vector<Dblk>> Peer::list_directory(std::string_view path) {
    if (Status s = change_dir(path); !s.ok()) return s;
    std::vector<Dblk> entries;
    auto found = find_first(connection_, dle_.dle_id);
    while (found.ok() && found->has_value()) {
        entries.push_back(std::move(**found));
        found = find_next(connection_, dle_.dle_id, entries.back());
    }
    if (!found.ok()) return found.error();
    return entries;
}

Status Peer::read_object(std::string_view dir, const Dblk& dblk, uint16_t mode,
                         const std::function<Status(const ReadPiece&)>& on_piece) {
    if (dblk.is_file()) {
        if (Status s = change_dir(dir); !s.ok()) return s;
    }
    auto opened = open_object(connection_, dle_.dle_id, dblk, mode);
    if (!opened.ok()) return opened.error();
    Status s = grfs_client::read_object(connection_, opened->obj_id, piece_size(), on_piece);
    if (!connection_.is_open()) return s;
    Status closed = close_object(connection_, opened->obj_id);
    return s.ok() ? closed : s;
}

Result<std::vector<StreamBytes>> Peer::read_object(std::string_view dir, const Dblk& dblk) {
    std::vector<StreamBytes> streams;
    Status s = read_object(dir, dblk, GRFS_OPEN_READ, collect_streams(streams));
    if (!s.ok()) return s;
    return streams;
}

void Peer::close() {
    if (!connection_.is_open()) return;
    if (dle_.dle_id != 0) (void)detach(connection_, dle_.dle_id);
    if (workstation_.dle_id != 0 && connection_.is_open()) (void)detach(connection_, workstation_.dle_id);
    dle_ = AttachInfo{};
    workstation_ = AttachInfo{};
    connection_.end();
}

}  // namespace grfs_client
