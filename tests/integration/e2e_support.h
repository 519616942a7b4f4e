// Helpers of the end-to-end tests: running grfsclient as a process,
// opening a session with the library, finding listed entries, the retcode
// of a request, reading an archive whole, and the agent's view of a file's
// status (attribute bits, dates).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "agent_process.h"
#include "client/archive_reader.h"
#include "client/peer.h"
#include "file_text.h"
#include "grfs/xdr.h"

namespace e2e {

struct ProcessResult {
    int status = -1;   // exit status; -1 when it did not exit normally
    int signal = 0;    // the signal that ended it
    std::string out;
    std::string err;
    std::string describe() const;  // status and both outputs, for failure messages
};

// Runs grfsclient with args (the command first) and waits for it.
ProcessResult run_grfsclient(const std::vector<std::string>& args);
// grfsclient started with its output to files (both to one when the paths
// are equal), not waited for; -1 when it cannot be started.
pid_t spawn_grfsclient(const std::vector<std::string>& args, const std::string& out_path,
                       const std::string& err_path);

// "127.0.0.x:port" of the agent, and the session options grfsclient
// needs to find its workstation.
std::string agent_host_port(const agent_it::AgentProcess& agent);
std::vector<std::string> session_args(const agent_it::AgentProcess& agent);
// args (a command and its operands) followed by the session options.
std::vector<std::string> with_session(std::vector<std::string> args, const agent_it::AgentProcess& agent);

// A session attached to the workstation and to dle; attach_reason 0x4
// for a restore.
grfs_client::Result<grfs_client::Peer> connect_peer(const agent_it::AgentProcess& agent, const std::string& dle,
                                                    uint16_t attach_reason = 0);

// connect_peer for a session the test goes on with; a failure is reported
// to the running test.
grfs_client::Peer expect_peer(const agent_it::AgentProcess& agent, const std::string& dle,
                              uint16_t attach_reason = 0);

// The entry of dir listed under name (its text or its base name), nullopt
// when there is none; a failed listing is reported to the running test.
std::optional<grfs_client::Dblk> listed(grfs_client::Peer& peer, const std::string& dir, const std::string& name);
// The same for an entry that must be there: its absence is reported too.
std::optional<grfs_client::Dblk> find_listed(grfs_client::Peer& peer, const std::string& dir, const std::string& name);

// A peer that stops reading: opens name (in the export's root) for reading
// and asks count times for a whole buffer of it, reading no reply. True when
// every request went out.
bool request_reads_unread(grfs_client::Peer& peer, const std::string& name, int count);

// The retcode a request failed with, 0 when it succeeded (what a successful
// reply carries is not looked at); a failure other than a retcode is
// reported to the running test.
template <class R>
int16_t failed_retcode(const R& result) {
    if (result.ok()) return 0;
    EXPECT_EQ(result.error().kind, grfs_client::ErrorKind::retcode) << result.error().text;
    return result.error().retcode;
}

// The retcode of a request answered with a retcode alone; 1 (and a failure
// reported to the running test) when it got no answer.
inline int16_t replied_retcode(const grfs_client::Result<int16_t>& result) {
    EXPECT_TRUE(result.ok()) << result.error().text;
    return result.ok() ? result.value() : int16_t{1};
}

// The configuration lines of an export.
std::string export_line(const std::string& path, const std::string& resource, const std::string& options = {});
// An agent's configuration with that one export.
agent_it::AgentConfig export_config(const std::string& path, const std::string& resource);

// i in decimal, zero-padded to width digits.
std::string zero_padded(int i, int width);

// Every object of an archive, in order (stream extents stay in the file).
struct LoadedArchive {
    std::vector<grfs_client::ArchivedObject> objects;
    bool ok = false;
    std::string error;
};
LoadedArchive load_archive(grfs_client::ArchiveReader& reader);

// The generic attribute bits the agent puts in a DBLK for this status.
uint32_t expected_gen_attr(const struct stat& st);
// The date the agent sends for a time value (local time).
DATE_TIME std_date(time_t t);
bool same_date(const DATE_TIME& a, const DATE_TIME& b);
std::string date_text(const DATE_TIME& d);

// The relative path of an archived or walked object; "" for the root.
inline std::string object_path(const std::string& dir, const grfs_client::Dblk& dblk) {
    return dblk.is_directory() ? dblk.text() : grfs_client::join_path(dir, dblk.text());
}

// Printable path (non-ASCII bytes escaped).
std::string printable(const std::string& path);

// Our end of a connection as the agent names its peer: the dotted address,
// and "address:port".
std::string local_address(int fd);
std::string local_endpoint(int fd);

// How many times needle stands in text (console lines in an agent's output).
size_t occurrences(const std::string& text, const std::string& needle);

// The kernel's form of a POSIX ACL (system.posix_acl_*): version 2, then
// {tag, perm, id} entries.
std::string acl_xattr_value(std::initializer_list<std::array<uint32_t, 3>> entries);

}  // namespace e2e
