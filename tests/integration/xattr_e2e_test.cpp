// Extended attributes through backup and restore (keyword xattrs): a tree
// with user.* attributes up to 64 KiB, a file capability on an executable
// of a foreign owner, a link with a trusted.* attribute of its own and a
// directory with attributes is backed up and restored into an empty export,
// twice (with posix_acls and sparse_restore too: LXAT follows the ACL
// stream, and a capability outlives the length set at close), and
// must come back equal each time; malformed and oversized
// streams change nothing, a refused name is named on the console while the
// others are set, a capability goes only to a file the restore made; an
// agent without the keyword restores the data and drops the stream.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "agent_process.h"
#include "client/backup.h"
#include "client/requests.h"
#include "client/restore.h"
#include "client/verify.h"
#include "e2e_support.h"
#include "grfs/messages.h"
#include "hardening_support.h"
#include "tree_builder.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;

constexpr uint16_t kReasonRestore = 0x4;
constexpr uint32_t kLxat = 0x5441584C;

using Attrs = std::map<std::string, std::string>;

// Every attribute of path itself (never a link's target).
Attrs attributes(const std::string& path) {
    Attrs out;
    char names[65536];
    ssize_t n = llistxattr(path.c_str(), names, sizeof names);
    EXPECT_GE(n, 0) << path << ": " << std::strerror(errno);
    for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        std::string value(65536, '\0');
        ssize_t v = lgetxattr(path.c_str(), names + at, value.data(), value.size());
        EXPECT_GE(v, 0) << names + at;
        value.resize(v < 0 ? 0 : static_cast<size_t>(v));
        out[names + at] = value;
    }
    return out;
}

void set_attr(const std::string& path, const std::string& name, const std::string& value) {
    ASSERT_EQ(lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0), 0)
        << path << " " << name << ": " << std::strerror(errno);
}

// A file capability (revision 2) with CAP_NET_RAW permitted and effective.
std::string net_raw_capability() {
    const uint32_t words[5] = {0x02000001, 1u << 13, 0, 0, 0};
    std::string v;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) v.push_back(static_cast<char>(w >> (8 * i)));
    return v;
}

// A tmpfs of our own: it takes values of 64 KiB (ext4 takes about 4 KiB).
struct ScratchMount {
    e2e::TempDir dir{"agent-xattr"};
    bool mounted = false;
    ScratchMount() {
        mounted = mount("agent-xattr", dir.path().c_str(), "tmpfs", MS_NODEV | MS_NOSUID, "size=64m,mode=0755") == 0;
    }
    ~ScratchMount() {
        if (mounted) umount2(dir.path().c_str(), MNT_DETACH);
    }
};

std::vector<std::string> kPaths = {"data.txt", "tool", "link", "dir", "dir/inner.txt", "plain.txt", "plain-link", "setid"};

void build_source(const std::string& root) {
    e2e::write_file(root + "/data.txt", "data\n");
    set_attr(root + "/data.txt", "user.one", "1");
    set_attr(root + "/data.txt", "user.mid", std::string(1000, 'm'));
    set_attr(root + "/data.txt", "user.big", std::string(65536, 'b'));
    set_attr(root + "/data.txt", "user.empty", "");
    set_attr(root + "/data.txt", "system.posix_acl_access",
             e2e::acl_xattr_value({{0x01, 6, 0}, {0x02, 6, 1001}, {0x04, 4, 0}, {0x08, 4, 2002}, {0x10, 6, 0}, {0x20, 4, 0}}));
    // Its trailing hole makes a sparse restore set its length at close.
    std::string script = "#!/bin/sh\n";
    script.resize(5 * 4096, '\0');
    e2e::write_file(root + "/tool", script);
    ASSERT_EQ(chmod((root + "/tool").c_str(), 0755), 0);
    ASSERT_EQ(chown((root + "/tool").c_str(), e2e::kForeignUid, e2e::kForeignGid), 0);
    set_attr(root + "/tool", "security.capability", net_raw_capability());
    ASSERT_EQ(symlink("data.txt", (root + "/link").c_str()), 0);
    set_attr(root + "/link", "trusted.tag", "t1");
    ASSERT_EQ(mkdir((root + "/dir").c_str(), 0750), 0);
    set_attr(root + "/dir", "user.dirattr", "d");
    // Made before inner.txt, which inherits it.
    set_attr(root + "/dir", "system.posix_acl_default",
             e2e::acl_xattr_value({{0x01, 7, 0}, {0x02, 5, 1001}, {0x04, 5, 0}, {0x10, 5, 0}, {0x20, 0, 0}}));
    e2e::write_file(root + "/dir/inner.txt", "inner\n");
    set_attr(root + "/dir/inner.txt", "user.inner", "i");
    e2e::write_file(root + "/plain.txt", "plain\n");
    ASSERT_EQ(link((root + "/plain.txt").c_str(), (root + "/plain-link").c_str()), 0);
    e2e::write_file(root + "/setid", "setid\n");
    ASSERT_EQ(chown((root + "/setid").c_str(), e2e::kForeignUid, e2e::kForeignGid), 0);
    ASSERT_EQ(chmod((root + "/setid").c_str(), 06755), 0);
}

void expect_same_tree(const std::string& source, const std::string& target) {
    for (const auto& p : kPaths) {
        SCOPED_TRACE(p);
        struct stat s {}, t {};
        ASSERT_EQ(lstat((target + "/" + p).c_str(), &t), 0);
        ASSERT_EQ(lstat((source + "/" + p).c_str(), &s), 0);
        EXPECT_EQ(t.st_mode, s.st_mode);
        EXPECT_EQ(t.st_uid, s.st_uid);
        EXPECT_EQ(t.st_nlink, s.st_nlink);
        EXPECT_EQ(attributes(target + "/" + p), attributes(source + "/" + p));
    }
}

grfs_client::RestoreReport restore(const AgentProcess& agent, const std::string& archive, const std::string& dle) {
    grfs_client::Peer peer = e2e::expect_peer(agent, dle, kReasonRestore);
    auto report = grfs_client::restore_archive(peer, archive);
    EXPECT_TRUE(report.ok()) << report.error().text;
    return report.ok() ? *report : grfs_client::RestoreReport{};
}

TEST(XattrEndToEnd, AttributesCapabilitiesAndLinkAttributesSurviveARepeatedRestore) {
    if (geteuid() != 0) GTEST_SKIP() << "trusted.* and security.capability need root";
    ScratchMount scratch;
    if (!scratch.mounted) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    const std::string source = scratch.dir.path() + "/src";
    const std::string target = scratch.dir.path() + "/dst";
    const std::string plain = scratch.dir.path() + "/without";
    for (const auto& d : {source, target, plain}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    build_source(source);
    const std::string archive = scratch.dir.path() + "/tree.grfsarc";

    AgentConfig config;
    config.extra_lines = e2e::export_line(source, "SRC") + e2e::export_line(target, "DST") + "xattrs\nposix_acls\nsparse_restore\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "SRC");
        auto backup = grfs_client::backup_export(peer, archive);
        ASSERT_TRUE(backup.ok()) << backup.error().text;
        EXPECT_TRUE(backup->ok());
    }
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "into the empty export" : "over the restored tree");
        grfs_client::RestoreReport report = restore(agent, archive, "DST");
        EXPECT_TRUE(report.ok()) << (report.failures.empty() ? "" : report.failures[0].reason);
        expect_same_tree(source, target);
        grfs_client::Peer peer = e2e::expect_peer(agent, "DST");
        auto verified = grfs_client::verify_archive(peer, archive);
        ASSERT_TRUE(verified.ok()) << verified.error().text;
        EXPECT_TRUE(verified->ok()) << verified->differences[0].path << ": " << verified->differences[0].reason;
    }
    // Verify compares the stream: a changed attribute is a difference.
    set_attr(target + "/dir", "user.dirattr", "changed");
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DST");
        auto verified = grfs_client::verify_archive(peer, archive);
        ASSERT_TRUE(verified.ok()) << verified.error().text;
        ASSERT_EQ(verified->differences.size(), 1u);
        EXPECT_EQ(verified->differences[0].path, "dir");
    }
    // The archive carries the stream as read: the link's own attribute.
    auto reader = grfs_client::ArchiveReader::open(archive);
    ASSERT_TRUE(reader.ok());
    e2e::LoadedArchive loaded = e2e::load_archive(*reader);
    int lxat_streams = 0;
    for (const auto& object : loaded.objects) {
        for (const auto& s : object.streams) lxat_streams += s.header.id == kLxat;
        // Behind the data and ACL streams.
        if (object.dblk.text() == "data.txt") {
            ASSERT_EQ(object.streams.size(), 3u);
            EXPECT_EQ(object.streams[0].header.id, 0x4E415453u);  // STAN
            EXPECT_EQ(object.streams[1].header.id, 0x4C434149u);  // IACL
            EXPECT_EQ(object.streams[2].header.id, kLxat);
        }
    }
    EXPECT_EQ(lxat_streams, 5);  // data.txt, tool, link, dir, dir/inner.txt
    EXPECT_EQ(agent.Stderr().find("not set"), std::string::npos) << agent.Stderr();
    hardening::ExpectCleanStop(agent);

    // An agent without the keyword restores the data and drops the stream.
    AgentConfig without;
    without.extra_lines = e2e::export_line(plain, "PLAIN");
    without.args = {"-d", "8"};
    AgentProcess old_agent(without);
    ASSERT_TRUE(old_agent.Start());
    grfs_client::RestoreReport report = restore(old_agent, archive, "PLAIN");
    EXPECT_TRUE(report.ok());
    EXPECT_EQ(e2e::read_file(plain + "/data.txt"), "data\n");
    EXPECT_TRUE(attributes(plain + "/data.txt").empty());
    EXPECT_TRUE(old_agent.WaitForStderr("Unix_WriteFile: unknown stream, type = 1413568588", 5000));
    EXPECT_TRUE(old_agent.WaitForStderr("Unix_WriteFile: unknown stream, type = 1279476041", 5000));  // IACL
    hardening::ExpectCleanStop(old_agent);
}

// Writes stream as the LXAT stream of a new file, in one request, behind
// its data when there is any; the LXAT write's retcode.
int16_t write_lxat(grfs_client::Peer& peer, const grfs_client::Dblk& file, const std::vector<unsigned char>& stream,
                   uint64_t announced, const std::string& data = {}) {
    grfs_client::Connection& c = peer.connection();
    EXPECT_EQ(e2e::replied_retcode(grfs_client::create_object(c, peer.dle_id(), file)), 0);
    auto opened = grfs_client::open_object(c, peer.dle_id(), file, GRFS_OPEN_WRITE);
    EXPECT_TRUE(opened.ok());
    if (!opened.ok()) return 1;
    if (!data.empty()) {
        GRFS_STREAM_INFO stan{};
        stan.id = 0x4E415453;
        stan.size = U64_Init(static_cast<uint32_t>(data.size()), 0);
        auto d = grfs_client::write_piece(
            c, opened->obj_id, 0, stan,
            std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(data.data()), data.size()));
        EXPECT_TRUE(d.ok() && d->consumed == data.size());
    }
    GRFS_STREAM_INFO header{};
    header.id = kLxat;
    header.size = U64_Init(static_cast<uint32_t>(announced), static_cast<uint32_t>(announced >> 32));
    auto w = grfs_client::write_piece(c, opened->obj_id, 0, header, stream);
    EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
    return e2e::failed_retcode(w);
}

TEST(XattrEndToEnd, RefusedStreamsSetNothingAndACapabilityOutlivesALaterOwnerChange) {
    AgentConfig config;
    config.extra_lines = "xattrs\nsparse_restore\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    e2e::write_file(agent.export_dir() + "/model.txt", "");
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", kReasonRestore);
        auto model = e2e::find_listed(peer, "", "model.txt");
        ASSERT_TRUE(model);
        // A valid user.ok = "v", then an attribute whose name runs past the end.
        std::vector<unsigned char> bad = {2, 0, 0, 0, 7, 0, 1, 0, 0, 0};
        for (char ch : std::string("user.okv")) bad.push_back(static_cast<unsigned char>(ch));
        bad.insert(bad.end(), {200, 0, 0, 0, 0, 0, 'u', 's'});
        EXPECT_EQ(write_lxat(peer, *model, bad, bad.size()), GRFS_RC_INVALID_REQUEST);
        EXPECT_TRUE(attributes(agent.export_dir() + "/model.txt").empty());

        // A stream announced beyond 4 MiB is refused before anything is kept.
        std::vector<unsigned char> good = {1, 0, 0, 0, 7, 0, 1, 0, 0, 0};
        for (char ch : std::string("user.okv")) good.push_back(static_cast<unsigned char>(ch));
        EXPECT_EQ(write_lxat(peer, *model, good, (4u << 20) + 1), GRFS_RC_NO_SPACE);
        EXPECT_TRUE(attributes(agent.export_dir() + "/model.txt").empty());

        // The same stream announced as it is: set.
        EXPECT_EQ(write_lxat(peer, *model, good, good.size()), 0);
        EXPECT_EQ(attributes(agent.export_dir() + "/model.txt"), (Attrs{{"user.ok", "v"}}));

        // A name the file system refuses is named on the console, escaped,
        // and the others are still set.
        std::vector<unsigned char> mixed = {2, 0, 0, 0, 8, 0, 1, 0, 0, 0};
        for (char ch : std::string("other.\nxz")) mixed.push_back(static_cast<unsigned char>(ch));
        mixed.insert(mixed.end(), {7, 0, 1, 0, 0, 0});
        for (char ch : std::string("user.okw")) mixed.push_back(static_cast<unsigned char>(ch));
        EXPECT_EQ(write_lxat(peer, *model, mixed, mixed.size()), 0);
        EXPECT_EQ(attributes(agent.export_dir() + "/model.txt"), (Attrs{{"user.ok", "w"}}));
        EXPECT_TRUE(agent.WaitForStderr("model.txt: extended attribute other.\\nx not set: ", 5000))
            << agent.Stderr();

        // A file capability survives the length a sparse restore sets at
        // close and a change of owner made after the close.
        if (geteuid() == 0) {
            const std::string cap = net_raw_capability();
            std::vector<unsigned char> stream = {1, 0, 0, 0, 19, 0, 20, 0, 0, 0};
            stream.insert(stream.end(), std::begin("security.capability"), std::end("security.capability") - 1);
            stream.insert(stream.end(), cap.begin(), cap.end());
            std::string script = "#!/bin/sh\n";
            script.resize(5 * 4096, '\0');
            e2e::write_file(agent.export_dir() + "/tool", script);
            ASSERT_EQ(chown((agent.export_dir() + "/tool").c_str(), e2e::kForeignUid, e2e::kForeignGid), 0);
            auto tool = e2e::find_listed(peer, "", "tool");
            ASSERT_TRUE(tool);
            EXPECT_EQ(write_lxat(peer, *tool, stream, stream.size(), script), 0);
            EXPECT_EQ(attributes(agent.export_dir() + "/tool"), (Attrs{{"security.capability", cap}}));
            EXPECT_EQ(e2e::replied_retcode(grfs_client::set_object_info(peer.connection(), peer.dle_id(), *tool)), 0);
            struct stat st {};
            ASSERT_EQ(lstat((agent.export_dir() + "/tool").c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, e2e::kForeignUid);
            EXPECT_EQ(attributes(agent.export_dir() + "/tool"), (Attrs{{"security.capability", cap}}));

            // A file opened for writing without a create (not the
            // restore's own) gets no capability, and the console says so.
            e2e::write_file(agent.export_dir() + "/found", script);
            auto found = e2e::find_listed(peer, "", "found");
            ASSERT_TRUE(found);
            grfs_client::Connection& c = peer.connection();
            auto opened = grfs_client::open_object(c, peer.dle_id(), *found, GRFS_OPEN_WRITE);
            ASSERT_TRUE(opened.ok()) << opened.error().text;
            GRFS_STREAM_INFO header{};
            header.id = kLxat;
            header.size = U64_Init(static_cast<uint32_t>(stream.size()), 0);
            EXPECT_TRUE(grfs_client::write_piece(c, opened->obj_id, 0, header, stream).ok());
            EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
            EXPECT_TRUE(attributes(agent.export_dir() + "/found").empty());
            EXPECT_TRUE(agent.WaitForStderr("found: extended attribute security.capability not set: the object was "
                                            "not made by this restore.",
                                            5000))
                << agent.Stderr();
        }
    }
    hardening::ExpectCleanStop(agent);
}

}  // namespace
