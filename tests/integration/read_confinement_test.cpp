// What a server's reads may reach, against the real agent: what a block
// claims never makes the agent open a device node or a FIFO; with
// follow_symdirs, a link the server restored into a writable export does
// not lead out of it, while an administrator's link in a write-protected
// export is still followed; and excluded objects, and everything below an
// excluded directory, are answered as objects that do not exist.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "client/peer.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "grfs/messages.h"
#include "hardening_support.h"
#include "tree_builder.h"
#include "util/unique_fd.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;

using e2e::failed_retcode;
using e2e::listed;
using e2e::read_file;
using e2e::write_file;

// A file block like `model` but naming `name` (of the same length): the
// block a server may send for an object it never saw listed.
grfs_client::Dblk Renamed(const grfs_client::Dblk& model, const std::string& name) {
    EXPECT_EQ(model.text().size(), name.size());
    auto record = std::make_unique<GRFS_GEN_DBLK>();
    model.to_record(record.get());
    char* text = reinterpret_cast<char*>(dblk_bytes(record.get())) + record->type_part.fdb.name;
    EXPECT_EQ(std::string(text), model.text());
    std::memcpy(text, name.data(), name.size());
    return grfs_client::Dblk::from_record(*record);
}

grfs_client::Dblk DirectoryBlock(const grfs_client::Dblk& model, const std::string& path) {
    auto block = grfs_client::with_directory_path(model, path);
    EXPECT_TRUE(block.ok());
    return *block;
}

// The data an object reads as, or the retcode of a failed open.
struct ReadOutcome {
    int16_t retcode = 0;
    std::string data;
};

ReadOutcome ReadThrough(grfs_client::Peer& peer, const grfs_client::Dblk& dblk, uint16_t mode = GRFS_OPEN_READ) {
    grfs_client::Connection& c = peer.connection();
    ReadOutcome out;
    auto opened = grfs_client::open_object(c, peer.dle_id(), dblk, mode);
    out.retcode = failed_retcode(opened);
    if (!opened.ok()) return out;
    auto streams = grfs_client::read_object_streams(c, opened->obj_id, peer.piece_size());
    EXPECT_TRUE(streams.ok());
    if (streams.ok()) {
        for (const auto& s : *streams) out.data.append(s.bytes.begin(), s.bytes.end());
    }
    EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
    return out;
}

// ---- what a block claims ----

TEST(FalseTypeClaims, ADeviceNodeAndAFifoClaimedRegularFilesAreNeverOpened) {
    if (geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    const std::string ex = agent.export_dir();
    const std::string node = ex + "/node", pipe = ex + "/pipe";
    write_file(node, "regular for now\n");
    write_file(pipe, "regular for now\n");

    grfs_client::Peer peer = e2e::expect_peer(agent, "DATA");
    auto node_block = listed(peer, "", "node");
    auto pipe_block = listed(peer, "", "pipe");
    ASSERT_TRUE(node_block && pipe_block);
    ASSERT_TRUE(node_block->is_regular() && pipe_block->is_regular());

    // The names now stand for a device (the null device) and a FIFO; the
    // blocks still say "regular file".
    ASSERT_EQ(unlink(node.c_str()), 0);
    ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(unlink(pipe.c_str()), 0);
    ASSERT_EQ(mkfifo(pipe.c_str(), 0666), 0);
    UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(watch.valid());
    for (const std::string& path : {node, pipe}) {
        ASSERT_GE(inotify_add_watch(watch.get(), path.c_str(), IN_OPEN | IN_CLOSE | IN_ACCESS), 0) << path;
    }
    // A writer waits for the FIFO's first reader.
    std::atomic<bool> writer_released{false};
    std::thread writer([&] {
        int fd = open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
        writer_released = true;
        if (fd >= 0) close(fd);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    grfs_client::Connection& c = peer.connection();
    for (uint16_t mode : {GRFS_OPEN_READ, GRFS_OPEN_VERIFY}) {
        SCOPED_TRACE(mode);
        // The device reads as empty, as devices do; the FIFO is refused.
        ReadOutcome device = ReadThrough(peer, *node_block, mode);
        EXPECT_EQ(device.retcode, 0);
        EXPECT_EQ(device.data, "");
        EXPECT_EQ(failed_retcode(grfs_client::open_object(c, peer.dle_id(), *pipe_block, mode)), 1);
    }
    EXPECT_TRUE(grfs_client::verify_echo(c, 4).ok());  // every reply is in

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    char events[4096];
    std::string seen;
    for (ssize_t n = read(watch.get(), events, sizeof events); n > 0; n = read(watch.get(), events, sizeof events)) {
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(events + at);
            char text[48];
            std::snprintf(text, sizeof text, " mask=0x%x wd=%d", e->mask, e->wd);
            seen += text;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    EXPECT_EQ(seen, "") << "the device node or the FIFO was opened";
    EXPECT_FALSE(writer_released) << "the FIFO's writer was released by a reader";

    // Release the writer ourselves.
    UniqueFd reader(open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    writer.join();
    peer.close();
    hardening::ExpectCleanStop(agent);
}

// ---- links with follow_symdirs ----

TEST(FollowSymdirs, ARestoredLinkLeadsNowhereOutOfAWritableExportAnAdministratorsLinkInAProtectedOneIsFollowed) {
    e2e::TempDir outside("it-outside");
    e2e::TempDir safe("it-protected");
    const std::string secret = "a file of the host outside every export\n";
    write_file(outside.path() + "/secret.txt", secret);
    ASSERT_EQ(symlink(outside.path().c_str(), (safe.path() + "/admin_link").c_str()), 0);
    write_file(safe.path() + "/admin_link_secret.txt", "a name to model the request on\n");

    AgentConfig config;
    config.extra_lines = "follow_symdirs\n" + e2e::export_line(safe.path(), "SAFE", "write_protect");
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string ex = agent.export_dir();
    // One line for the one writable export.
    const std::string line = "Export '" + ex + "' is writable: symbolic links there are followed only inside it.\n";
    EXPECT_EQ(hardening::CountInStderr(agent, line), 1u) << agent.Stderr();
    EXPECT_EQ(hardening::CountInStderr(agent, "symbolic links there are followed only inside it"), 1u);

    // The server restores a link e -> the outside directory into the
    // writable export: a link block (modelled on a link it listed), its
    // record written as the EA stream, the link made at close.
    ASSERT_EQ(symlink("hello.txt", (ex + "/e").c_str()), 0);
    ASSERT_EQ(symlink("sub", (ex + "/inner").c_str()), 0);
    write_file(ex + "/sub/kept.txt", "inside the export\n");
    write_file(ex + "/e_secret.txt", "a name to model the request on\n");
    {
        grfs_client::Peer restore = e2e::expect_peer(agent, "DATA", grfs_client::kAttachReasonRestore);
        grfs_client::Connection& c = restore.connection();
        auto link_block = listed(restore, "", "e");
        ASSERT_TRUE(link_block && link_block->is_symlink());
        ASSERT_EQ(unlink((ex + "/e").c_str()), 0);
        auto created = grfs_client::create_object(c, restore.dle_id(), *link_block);
        ASSERT_TRUE(created.ok());
        auto opened = grfs_client::open_object(c, restore.dle_id(), *link_block, GRFS_OPEN_WRITE);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        std::vector<unsigned char> record(4);
        const std::string body = std::string("e") + '\0' + outside.path() + '\0';
        record.insert(record.end(), body.begin(), body.end());
        const uint32_t length = static_cast<uint32_t>(record.size());
        std::memcpy(record.data(), &length, 4);
        GRFS_STREAM_INFO stream{};
        stream.id = grfs_client::kStreamUnixEa;
        stream.size.lsw = length;
        ASSERT_TRUE(grfs_client::write_piece(c, opened->obj_id, 0, stream, record).ok());
        ASSERT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
        restore.close();
    }
    char target[4096] = {};
    ASSERT_GT(readlink((ex + "/e").c_str(), target, sizeof target - 1), 0);
    ASSERT_EQ(std::string(target), outside.path());

    // Nothing reaches through it.
    grfs_client::Peer peer = e2e::expect_peer(agent, "DATA");
    grfs_client::Connection& c = peer.connection();
    auto model = listed(peer, "", "e_secret.txt");
    ASSERT_TRUE(model);
    ReadOutcome through = ReadThrough(peer, Renamed(*model, "e/secret.txt"));
    EXPECT_EQ(through.retcode, GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(through.data.find(secret), std::string::npos);
    EXPECT_EQ(grfs_client::change_dir(c, peer.dle_id(), "e").retcode, GRFS_RC_CHANGE_DIR_FAILED);
    auto e_link = listed(peer, "", "e");
    ASSERT_TRUE(e_link);
    EXPECT_TRUE(e_link->is_symlink());  // backed up as the link it is
    // A link that stays inside the export is followed as before.
    auto inner = listed(peer, "", "inner");
    ASSERT_TRUE(inner);
    EXPECT_TRUE(inner->is_directory());
    EXPECT_TRUE(listed(peer, "inner", "kept.txt").has_value());
    peer.close();

    // The administrator's link in the write-protected export is followed.
    grfs_client::Peer protected_peer = e2e::expect_peer(agent, "SAFE");
    auto admin_model = listed(protected_peer, "", "admin_link_secret.txt");
    ASSERT_TRUE(admin_model);
    ReadOutcome followed = ReadThrough(protected_peer, Renamed(*admin_model, "admin_link/secret.txt"));
    EXPECT_EQ(followed.retcode, 0);
    EXPECT_EQ(followed.data, secret);
    auto admin_link = listed(protected_peer, "", "admin_link");
    ASSERT_TRUE(admin_link);
    EXPECT_TRUE(admin_link->is_directory());
    EXPECT_TRUE(listed(protected_peer, "admin_link", "secret.txt").has_value());
    protected_peer.close();
    hardening::ExpectCleanStop(agent);
}

// ---- exclusions ----

TEST(Exclusions, EveryRequestOnAnExcludedFileOrBelowAnExcludedDirectoryFindsNothing) {
    e2e::TempDir tree("it-excluded");
    const std::string root = tree.path();
    write_file(root + "/hidden.txt", "excluded file\n");
    write_file(root + "/public.txt", "public file\n");
    write_file(root + "/private_inner.txt", "public, named like the file below\n");
    ASSERT_EQ(mkdir((root + "/private").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/private/deeper").c_str(), 0755), 0);
    write_file(root + "/private/inner.txt", "below an excluded directory\n");
    ASSERT_EQ(mkdir((root + "/opened").c_str(), 0755), 0);
    // With follow_symdirs a link that stays inside the export is followed;
    // it must not lead into what is excluded (a server could restore one).
    ASSERT_EQ(symlink("private", (root + "/alias").c_str()), 0);
    write_file(root + "/alias_inner.txt", "public, named like the file behind the link\n");

    AgentConfig config;
    config.extra_lines = e2e::export_line(root, "TREE") + "exclude_file " + root + "/hidden.txt\n" +
                         "exclude_dir " + root + "/private\n" + "follow_symdirs\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    grfs_client::Peer peer = e2e::expect_peer(agent, "TREE");
    grfs_client::Connection& c = peer.connection();
    const DLE_HANDLE dle = peer.dle_id();

    auto public_file = listed(peer, "", "public.txt");
    auto public_inner = listed(peer, "", "private_inner.txt");
    auto opened = listed(peer, "", "opened");
    auto alias_inner = listed(peer, "", "alias_inner.txt");
    ASSERT_TRUE(public_file && public_inner && opened && alias_inner);
    EXPECT_FALSE(listed(peer, "", "hidden.txt").has_value());
    EXPECT_FALSE(listed(peer, "", "private").has_value());
    EXPECT_FALSE(listed(peer, "", "alias").has_value());

    const std::vector<grfs_client::Dblk> files = {Renamed(*public_file, "hidden.txt"),
                                                  Renamed(*public_inner, "private/inner.txt"),
                                                  Renamed(*alias_inner, "alias/inner.txt")};
    const std::vector<grfs_client::Dblk> dirs = {DirectoryBlock(*opened, "private"),
                                                 DirectoryBlock(*opened, "private/deeper"),
                                                 DirectoryBlock(*opened, "./private//deeper/"),
                                                 DirectoryBlock(*opened, "alias"),
                                                 DirectoryBlock(*opened, "alias/deeper")};
    ASSERT_TRUE(peer.change_dir("").ok());
    for (const bool directories : {false, true}) {
        for (const auto& block : directories ? dirs : files) {
            SCOPED_TRACE(block.text());
            EXPECT_EQ(ReadThrough(peer, block, GRFS_OPEN_READ).retcode, GRFS_RC_NO_SUCH_FILE);
            EXPECT_EQ(ReadThrough(peer, block, GRFS_OPEN_VERIFY).retcode, GRFS_RC_NO_SUCH_FILE);
            EXPECT_EQ(failed_retcode(grfs_client::get_object_info(c, dle, block)), GRFS_RC_NOT_FOUND);
            auto verified = grfs_client::verify_object_info(c, dle, block);
            ASSERT_TRUE(verified.ok());
            EXPECT_EQ(*verified, GRFS_RC_BAD_OBJ_HANDLE);
            if (directories) {
                EXPECT_EQ(grfs_client::change_dir(c, dle, block.text()).retcode, GRFS_RC_CHANGE_DIR_FAILED);
            }
        }
    }
    for (const char* pattern : {"private", "private/*", "./private", "alias", "alias/*"}) {
        SCOPED_TRACE(pattern);
        ASSERT_TRUE(grfs_client::change_dir(c, dle, "").ok());
        auto first = grfs_client::find_first(c, dle, pattern);
        ASSERT_TRUE(first.ok()) << first.error().text;
        EXPECT_FALSE(first->has_value());
    }

    // What is not excluded answers as before.
    ASSERT_TRUE(grfs_client::change_dir(c, dle, "").ok());
    EXPECT_EQ(ReadThrough(peer, *public_file).data, "public file\n");
    EXPECT_EQ(ReadThrough(peer, *public_inner).data, "public, named like the file below\n");
    EXPECT_TRUE(grfs_client::change_dir(c, dle, "opened").ok());
    EXPECT_EQ(read_file(root + "/private/inner.txt"), "below an excluded directory\n");
    peer.close();
    hardening::ExpectCleanStop(agent);
}

}  // namespace
