// A hostile server writing the streams a restore collects and applies: the
// streams one session holds unapplied share one memory budget, the ACL
// stream never changes the export root, a directory's ACL is set whole or
// not at all, and objects whose export was detached are still answered.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "agent_process.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "grfs/messages.h"
#include "hardening_support.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;
using Bytes = std::vector<unsigned char>;

constexpr uint32_t kLxat = 0x5441584C;
constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr uint32_t kNobody = 65534;
constexpr const char* kAccess = "system.posix_acl_access";
constexpr const char* kDefault = "system.posix_acl_default";

GRFS_STREAM_INFO Header(uint32_t id, uint64_t size) {
    GRFS_STREAM_INFO h{};
    h.id = id;
    h.size = U64_Init(static_cast<uint32_t>(size), static_cast<uint32_t>(size >> 32));
    return h;
}

// The retcode of one write, and what it consumed.
struct Written {
    int16_t rc = 1;
    uint32_t consumed = 0;
};

Written Write(grfs_client::Peer& peer, OBJ_HANDLE obj, const GRFS_STREAM_INFO& header, const Bytes& data) {
    auto w = grfs_client::write_piece(peer.connection(), obj, 0, header, data);
    return Written{e2e::failed_retcode(w), w.ok() ? w->consumed : 0};
}

OBJ_HANDLE OpenForWrite(grfs_client::Peer& peer, const grfs_client::Dblk& block) {
    auto opened = grfs_client::open_object(peer.connection(), peer.dle_id(), block, GRFS_OPEN_WRITE);
    EXPECT_TRUE(opened.ok()) << opened.error().text;
    return opened.ok() ? opened->obj_id : 0;
}

// The directory block of path (empty: the export root).
grfs_client::Dblk DirectoryBlock(grfs_client::Peer& peer, const std::string& path) {
    EXPECT_TRUE(peer.change_dir(path).ok());
    auto ddb = grfs_client::get_current_ddb(peer.connection(), peer.dle_id());
    EXPECT_TRUE(ddb.ok());
    EXPECT_TRUE(peer.change_dir("").ok());
    return *ddb;
}

// An LXAT stream of one user. attribute.
Bytes OneAttribute(const std::string& name, const std::string& value) {
    Bytes s = {1, 0, 0, 0, static_cast<unsigned char>(name.size()), 0, static_cast<unsigned char>(value.size()), 0, 0, 0};
    s.insert(s.end(), name.begin(), name.end());
    s.insert(s.end(), value.begin(), value.end());
    return s;
}

// An IACL stream (this host is little-endian) of {type, id, perm} entries.
Bytes AclStream(const std::vector<std::array<uint32_t, 3>>& entries) {
    Bytes s;
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) s.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    put(static_cast<uint32_t>(entries.size()), 4);
    for (const auto& e : entries) {
        put(e[0], 4);
        put(e[1], 4);
        put(e[2], 2);
        put(0, 2);
    }
    return s;
}

std::string Attribute(const std::string& path, const char* name) {
    char buf[1024];
    const ssize_t n = getxattr(path.c_str(), name, buf, sizeof buf);
    return n < 0 ? std::string("<none>") : std::string(buf, static_cast<size_t>(n));
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(StreamHardening, CollectedStreamsShareOneBudgetPerSession) {
    AgentConfig config;
    config.extra_lines = "xattrs\nposix_acls\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string dir = agent.export_dir() + "/d";
    const std::string file = agent.export_dir() + "/f.txt";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    e2e::write_file(file, "");
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", grfs_client::kAttachReasonRestore);
        const grfs_client::Dblk d = DirectoryBlock(peer, "d");
        auto f = e2e::find_listed(peer, "", "f.txt");
        ASSERT_TRUE(f);

        // Sixteen LXAT streams of 4 MiB kept open unfinished: fifteen
        // announced, one of unknown size whose bytes all arrive.
        constexpr uint64_t kStream = 4u << 20;
        std::vector<OBJ_HANDLE> held;
        const Bytes piece(GRFS_OBJECT_BUFFER_SIZE, 'x');
        for (int i = 0; i < 16; ++i) {
            held.push_back(OpenForWrite(peer, d));
            ASSERT_EQ(Write(peer, held.back(), Header(kLxat, i < 15 ? kStream : 0), piece).rc, 0) << i;
        }
        for (uint64_t sent = piece.size(); sent + piece.size() <= kStream; sent += piece.size()) {
            ASSERT_EQ(Write(peer, held.back(), GRFS_STREAM_INFO{}, piece).rc, 0) << sent;
        }

        // Beyond the budget every collected stream is refused as out of
        // memory, and nothing of it is applied.
        const Bytes small = OneAttribute("user.ok", "v");
        ASSERT_EQ(e2e::replied_retcode(grfs_client::create_object(peer.connection(), peer.dle_id(), *f)), 0);
        OBJ_HANDLE obj = OpenForWrite(peer, *f);
        EXPECT_EQ(Write(peer, obj, Header(kLxat, small.size()), small).rc, GRFS_RC_NO_MEMORY);
        EXPECT_EQ(Write(peer, obj, GRFS_STREAM_INFO{}, small).rc, GRFS_RC_NO_MEMORY);
        EXPECT_TRUE(grfs_client::close_object(peer.connection(), obj).ok());
        EXPECT_EQ(Attribute(file, "user.ok"), "<none>");
        obj = OpenForWrite(peer, d);
        const Bytes acl = AclStream({{0x01, 0, 7}, {0x04, 0, 0}, {0x10, 0, 0}, {0x20, 0, 0}});
        const Written refused_acl = Write(peer, obj, Header(0x4C434149, acl.size()), acl);
        EXPECT_EQ(refused_acl.rc, GRFS_RC_NO_MEMORY);
        EXPECT_EQ(refused_acl.consumed, 0u);
        EXPECT_EQ(ModeOf(dir), 0755u);
        const Bytes link_record(10, 'l');
        EXPECT_EQ(Write(peer, obj, Header(0x554E324F, link_record.size()), link_record).rc, GRFS_RC_NO_MEMORY);
        EXPECT_TRUE(grfs_client::close_object(peer.connection(), obj).ok());

        // Closed objects give their share back.
        for (OBJ_HANDLE h : held) EXPECT_TRUE(grfs_client::close_object(peer.connection(), h).ok());
        ASSERT_EQ(e2e::replied_retcode(grfs_client::create_object(peer.connection(), peer.dle_id(), *f)), 0);
        obj = OpenForWrite(peer, *f);
        EXPECT_EQ(Write(peer, obj, Header(kLxat, small.size()), small).rc, 0);
        EXPECT_TRUE(grfs_client::close_object(peer.connection(), obj).ok());
        EXPECT_EQ(Attribute(file, "user.ok"), "v");
    }
    hardening::ExpectCleanStop(agent);
}

TEST(StreamHardening, AclStreamLeavesTheExportRootAlone) {
    AgentConfig config;
    config.extra_lines = "posix_acls\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string root = agent.export_dir();
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", grfs_client::kAttachReasonRestore);
        const Bytes acl = AclStream({{0x01, 0, 7}, {0x02, kNobody, 7}, {0x04, 0, 7}, {0x10, 0, 7}, {0x20, 0, 7},
                                     {0x1001, 0, 7}, {0x1004, 0, 7}, {0x1020, 0, 7}});
        const OBJ_HANDLE obj = OpenForWrite(peer, DirectoryBlock(peer, ""));
        const Written w = Write(peer, obj, Header(0x4C434149, acl.size()), acl);
        EXPECT_EQ(w.rc, 0);
        EXPECT_EQ(w.consumed, acl.size());
        EXPECT_TRUE(grfs_client::close_object(peer.connection(), obj).ok());
    }
    EXPECT_EQ(ModeOf(root), 0755u);
    EXPECT_EQ(Attribute(root, kAccess), "<none>");
    EXPECT_EQ(Attribute(root, kDefault), "<none>");
    hardening::ExpectCleanStop(agent);
}

TEST(StreamHardening, DirectoryAclIsSetWholeOrNotAtAll) {
    AgentConfig config;
    config.extra_lines = "posix_acls\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string dir = agent.export_dir() + "/d";
    ASSERT_EQ(mkdir(dir.c_str(), 0750), 0);
    const std::string access =
        e2e::acl_xattr_value({{0x01, 7, kNone}, {0x02, 5, 1001}, {0x04, 5, kNone}, {0x10, 5, kNone}, {0x20, 0, kNone}});
    const std::string defaults =
        e2e::acl_xattr_value({{0x01, 7, kNone}, {0x04, 5, kNone}, {0x08, 5, 2002}, {0x10, 5, kNone}, {0x20, 0, kNone}});
    ASSERT_EQ(setxattr(dir.c_str(), kAccess, access.data(), access.size(), 0), 0) << std::strerror(errno);
    ASSERT_EQ(setxattr(dir.c_str(), kDefault, defaults.data(), defaults.size(), 0), 0);
    const mode_t mode = ModeOf(dir);
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", grfs_client::kAttachReasonRestore);
        const grfs_client::Dblk d = DirectoryBlock(peer, "d");
        // A valid access part; the default part names one user twice.
        const Bytes half = AclStream({{0x01, 0, 7}, {0x02, kNobody, 7}, {0x04, 0, 7}, {0x10, 0, 7}, {0x20, 0, 7},
                                      {0x1001, 0, 7}, {0x1002, 7, 7}, {0x1002, 7, 5}, {0x1004, 0, 7},
                                      {0x1010, 0, 7}, {0x1020, 0, 7}});
        OBJ_HANDLE obj = OpenForWrite(peer, d);
        const Written w = Write(peer, obj, Header(0x4C434149, half.size()), half);
        EXPECT_EQ(w.rc, 0);  // application failures are not the server's to see
        EXPECT_EQ(w.consumed, half.size());
        EXPECT_TRUE(grfs_client::close_object(peer.connection(), obj).ok());
        EXPECT_EQ(Attribute(dir, kAccess), access);
        EXPECT_EQ(Attribute(dir, kDefault), defaults);
        EXPECT_EQ(ModeOf(dir), mode);
        EXPECT_TRUE(agent.WaitForStderr("Restore of " + dir + ": ACL not set: Invalid argument.", 5000))
            << agent.Stderr();

        // A default part valid in form that the file system refuses (too
        // large for ext4's attribute space): the access part already set is
        // taken back.
        std::vector<std::array<uint32_t, 3>> big_default = {{0x01, 0, 7}, {0x02, kNobody, 7}, {0x04, 0, 7},
                                                            {0x10, 0, 7}, {0x20, 0, 7}, {0x1001, 0, 7},
                                                            {0x1004, 0, 7}, {0x1010, 0, 7}, {0x1020, 0, 7}};
        // The same default ACL as the kernel's attribute, to learn whether
        // this file system takes it.
        const std::string owner = e2e::acl_xattr_value({{0x01, 7, kNone}});
        std::string big_value = owner;
        for (uint32_t id = 5000; id < 6000; ++id) {
            big_default.push_back({0x1002, id, 5});
            big_value += e2e::acl_xattr_value({{0x02, 5, id}}).substr(4);
        }
        big_value += e2e::acl_xattr_value({{0x04, 7, kNone}, {0x10, 7, kNone}, {0x20, 7, kNone}}).substr(4);
        const std::string probe = agent.export_dir() + "/probe";
        ASSERT_EQ(mkdir(probe.c_str(), 0755), 0);
        if (setxattr(probe.c_str(), kDefault, big_value.data(), big_value.size(), 0) != 0) {
            obj = OpenForWrite(peer, d);
            const Bytes big = AclStream(big_default);
            EXPECT_EQ(Write(peer, obj, Header(0x4C434149, big.size()), big).rc, 0);
            EXPECT_TRUE(grfs_client::close_object(peer.connection(), obj).ok());
            EXPECT_EQ(Attribute(dir, kAccess), access);
            EXPECT_EQ(Attribute(dir, kDefault), defaults);
            EXPECT_EQ(ModeOf(dir), mode);
            EXPECT_EQ(hardening::CountInStderr(agent, "Restore of " + dir + ": ACL not set: "), 2u) << agent.Stderr();
        }

        // The same stream with the default part mended is set whole.
        const Bytes whole = AclStream({{0x01, 0, 7}, {0x02, kNobody, 7}, {0x04, 0, 7}, {0x10, 0, 7}, {0x20, 0, 7},
                                       {0x1001, 0, 7}, {0x1002, 7, 5}, {0x1004, 0, 7}, {0x1010, 0, 7},
                                       {0x1020, 0, 7}});
        obj = OpenForWrite(peer, d);
        EXPECT_EQ(Write(peer, obj, Header(0x4C434149, whole.size()), whole).rc, 0);
        EXPECT_TRUE(grfs_client::close_object(peer.connection(), obj).ok());
        EXPECT_EQ(Attribute(dir, kAccess),
                  e2e::acl_xattr_value(
                      {{0x01, 7, kNone}, {0x02, 7, kNobody}, {0x04, 7, kNone}, {0x10, 7, kNone}, {0x20, 7, kNone}}));
        EXPECT_EQ(Attribute(dir, kDefault),
                  e2e::acl_xattr_value(
                      {{0x01, 7, kNone}, {0x02, 5, 7}, {0x04, 7, kNone}, {0x10, 7, kNone}, {0x20, 7, kNone}}));
    }
    hardening::ExpectCleanStop(agent);
}

TEST(StreamHardening, ObjectsOfADetachedExportAreStillAnswered) {
    AgentConfig config;
    config.extra_lines = "posix_acls\nxattrs\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    ASSERT_EQ(mkdir((agent.export_dir() + "/d").c_str(), 0755), 0);
    e2e::write_file(agent.export_dir() + "/f.txt", "contents\n");
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", grfs_client::kAttachReasonRestore);
        grfs_client::Connection& c = peer.connection();
        const grfs_client::Dblk d = DirectoryBlock(peer, "d");
        auto f = e2e::find_listed(peer, "", "f.txt");
        ASSERT_TRUE(f);
        const OBJ_HANDLE dir_obj = OpenForWrite(peer, d);
        auto read_open = grfs_client::open_object(c, peer.dle_id(), *f, GRFS_OPEN_READ);
        ASSERT_TRUE(read_open.ok());
        const OBJ_HANDLE lxat_obj = OpenForWrite(peer, d);
        ASSERT_TRUE(grfs_client::detach(c, peer.dle_id()).ok());

        // The directory cannot be reached without its export: the write is
        // refused as for a detached DLE, and nothing is consumed.
        const Bytes acl = AclStream({{0x01, 0, 7}, {0x02, kNobody, 7}, {0x04, 0, 5}, {0x10, 0, 7}, {0x20, 0, 5}});
        const Written w = Write(peer, dir_obj, Header(0x4C434149, acl.size()), acl);
        EXPECT_EQ(w.rc, GRFS_RC_BAD_DLE_HANDLE);
        EXPECT_EQ(w.consumed, 0u);
        EXPECT_EQ(Attribute(agent.export_dir() + "/d", kAccess), "<none>");
        // A file already open is read to its end; a stream collected for
        // the close is dropped there without harm.
        auto streams = grfs_client::read_object_streams(c, read_open->obj_id, GRFS_OBJECT_BUFFER_SIZE);
        ASSERT_TRUE(streams.ok()) << streams.error().text;
        ASSERT_FALSE(streams->empty());
        EXPECT_EQ(std::string(streams->front().bytes.begin(), streams->front().bytes.end()), "contents\n");
        const Bytes attr = OneAttribute("user.late", "1");
        EXPECT_EQ(Write(peer, lxat_obj, Header(kLxat, attr.size()), attr).rc, 0);
        for (OBJ_HANDLE h : {dir_obj, read_open->obj_id, lxat_obj}) {
            EXPECT_TRUE(grfs_client::close_object(c, h).ok());
        }
        EXPECT_EQ(Attribute(agent.export_dir() + "/d", "user.late"), "<none>");
        EXPECT_TRUE(grfs_client::verify_echo(c, 8).ok());
    }
    hardening::ExpectCleanStop(agent);
}

}  // namespace
