// The peer as a backup server runs it: one session, attached to the
// workstation and to one DLE, with the current directory remembered so
// that requests that need it are preceded by a change of directory only
// when it differs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/connection.h"
#include "client/dblk_info.h"
#include "client/requests.h"
#include "client/result.h"

namespace grfs_client {

struct PeerOptions {
    Endpoint endpoint;
    // Tried in order until one is accepted; empty: the defaults derived
    // from the host name (default_workstation_names).
    std::vector<std::string> workstation_names;
    std::string workstation_password;  // upper-cased when sent, as the agent holds it
    std::string dle_password;          // likewise
    AttachOptions attach;              // reason 0x4 for a restore
    ConnectOptions connect;
};

// One object met by a walk.
struct WalkEntry {
    std::string dir;  // directory it was listed in, relative to the DLE root
    Dblk dblk;
    // The object's path relative to the DLE root.
    std::string path() const { return dblk.is_directory() ? dblk.text() : join_path(dir, dblk.text()); }
};

struct WalkOptions {
    bool recursive = true;
    // Descend into a directory as soon as it is listed and resume the
    // parent's search afterwards, as a server does; false lists each
    // directory completely before descending, holding one search at a time.
    bool descend_at_once = true;
    // Report the starting directory itself first (GRFS_GET_CUR_DDB).
    bool include_start = false;
    // Called when a directory cannot be entered or listed; an error it
    // returns ends the walk, success goes on with the next object.
    std::function<Status(const std::string& path, const Error& error)> on_error;
};

using WalkCallback = std::function<Status(const WalkEntry&)>;

class Peer {
public:
    // Opens the session and attaches to the workstation.
    static Result<Peer> connect(const PeerOptions& options);

    Peer(Peer&&) noexcept = default;
    Peer& operator=(Peer&&) noexcept = default;
    ~Peer();

    // Attaches to a DLE under the workstation attachment (detaching a DLE
    // attached before).
    Status attach(std::string_view dle);
    Result<std::vector<DleInfo>> list_dles();

    // Changes directory unless path is already the current one.
    Status change_dir(std::string_view path);
    const std::string& current_dir() const { return current_dir_; }

    // Walks the tree below start (relative to the DLE root). While
    // on_entry runs, the current directory is the entry's dir. An error
    // from on_entry ends the walk with that error.
    Status walk(std::string_view start, const WalkOptions& options, const WalkCallback& on_entry);

    // Every object of one directory, in the order the agent lists them.
    Result<std::vector<Dblk>> list_directory(std::string_view path);

    // Opens the object (changing to dir for a file block), reads its whole
    // byte sequence through on_piece and closes it. mode: GRFS_OPEN_READ or
    // GRFS_OPEN_VERIFY. A failed open is ErrorKind::retcode.
    Status read_object(std::string_view dir, const Dblk& dblk, uint16_t mode,
                       const std::function<Status(const ReadPiece&)>& on_piece);
    // The same, into memory.
    Result<std::vector<StreamBytes>> read_object(std::string_view dir, const Dblk& dblk);

    // Detaches and ends the session; errors are ignored (the session ends
    // either way).
    void close();

    Connection& connection() { return connection_; }
    DLE_HANDLE workstation_id() const { return workstation_.dle_id; }
    DLE_HANDLE dle_id() const { return dle_.dle_id; }
    const std::string& workstation_name() const { return workstation_name_; }
    const std::string& dle_name() const { return dle_name_; }
    // Bytes asked for per read and sent per write: the DLE's max_obj_bsize.
    uint32_t piece_size() const;

private:
    Peer(Connection connection, PeerOptions options) : connection_(std::move(connection)), options_(std::move(options)) {}
    Status walk_directory(const std::string& dir, const WalkOptions& options, const WalkCallback& on_entry, int depth,
                          std::vector<std::pair<uint32_t, uint64_t>>& ancestors);

    Connection connection_;
    PeerOptions options_;
    AttachInfo workstation_;
    AttachInfo dle_;
    std::string workstation_name_;
    std::string dle_name_;
    std::string current_dir_;
    bool current_dir_known_ = false;
};

}  // namespace grfs_client
