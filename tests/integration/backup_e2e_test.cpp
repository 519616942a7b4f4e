// A real tree backed up through the running agent with `grfsclient backup`,
// then checked object by object against the file system: what was listed,
// every DBLK field against lstat, the bytes of every stream, and, through
// a session of our own, how each kind of object reads.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "agent_process.h"
#include "client/archive_reader.h"
#include "client/link_record.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "grfs/dblk.h"
#include "tree_builder.h"

namespace e2e {
namespace {

using grfs_client::ArchivedObject;
using grfs_client::Dblk;

bool below(const std::string& path, const std::string& dir) {
    return path == dir || path.rfind(dir + "/", 0) == 0;
}

// The DBLK of one object against the object's status.
void check_dblk(const std::string& path, const std::string& listed_in, const Dblk& dblk, const Entry& e,
                bool check_access_time) {
    SCOPED_TRACE("object '" + printable(path) + "'");
    const struct stat& st = e.st;
    const bool dir = S_ISDIR(st.st_mode);
    EXPECT_EQ(dblk.type(), dir ? DDB_ID : FDB_ID);
    EXPECT_EQ(dblk.text(), dir ? path : base_of(path));
    EXPECT_EQ(listed_in, dir && path.empty() ? "" : parent_of(path));
    EXPECT_EQ(dblk.size(), static_cast<uint64_t>(st.st_size));
    EXPECT_EQ(dblk.gen_attr(), expected_gen_attr(st));

    const grfs_client::UnixInfo& u = dblk.unix_info();
    ASSERT_TRUE(u.present);
    EXPECT_EQ(u.version, 1);
    EXPECT_EQ(u.mode, st.st_mode);
    EXPECT_EQ(u.uid, st.st_uid);
    EXPECT_EQ(u.gid, st.st_gid);
    EXPECT_EQ(u.dev, static_cast<uint32_t>(st.st_dev));
    EXPECT_EQ(u.rdev, static_cast<uint32_t>(st.st_rdev));
    EXPECT_EQ(u.ino, static_cast<uint64_t>(st.st_ino));
    EXPECT_EQ(u.nlink, static_cast<uint32_t>(st.st_nlink));

    EXPECT_TRUE(same_date(dblk.modified_time(), std_date(st.st_mtime)))
        << date_text(dblk.modified_time()) << " vs " << date_text(std_date(st.st_mtime));
    if (check_access_time) {
        EXPECT_TRUE(same_date(dblk.access_time(), std_date(st.st_atime)))
            << date_text(dblk.access_time()) << " vs " << date_text(std_date(st.st_atime));
    }
    auto record = std::make_unique<GRFS_GEN_DBLK>();
    dblk.to_record(record.get());
    EXPECT_TRUE(same_date(record->creation_time, std_date(st.st_ctime)))
        << date_text(record->creation_time) << " vs " << date_text(std_date(st.st_ctime));
    EXPECT_EQ(record->os_id, DBLK_OS_ID_UNIX);
    EXPECT_TRUE(record->os_info_complete);
    EXPECT_EQ(record->archived_time.date_valid, 0);
}

// The streams an object was archived with against the object itself.
void check_streams(const std::string& root, const std::string& path, const ArchivedObject& object, const Entry& e,
                   grfs_client::ArchiveReader& archive) {
    SCOPED_TRACE("streams of '" + printable(path) + "'");
    const mode_t type = e.st.st_mode & S_IFMT;
    const auto& streams = object.streams;
    if (type == S_IFIFO) {
        // The agent does not open FIFOs: retcode 1, nothing read.
        EXPECT_EQ(object.outcome.stage, grfs_client::STAGE_OPEN_FAILED);
        EXPECT_EQ(object.outcome.retcode, 1);
        EXPECT_TRUE(streams.empty());
        return;
    }
    ASSERT_EQ(object.outcome.stage, grfs_client::STAGE_COMPLETE) << "retcode " << object.outcome.retcode;
    if (type == S_IFDIR || type == S_IFCHR || type == S_IFBLK || (type == S_IFREG && e.st.st_size == 0)) {
        EXPECT_TRUE(streams.empty());
        EXPECT_EQ(object.outcome.bytes, 0u);
        return;
    }
    ASSERT_EQ(streams.size(), 1u);
    const auto& s = streams[0];
    ASSERT_TRUE(s.has_header);
    const uint64_t announced = (static_cast<uint64_t>(s.header.size.msw) << 32) | s.header.size.lsw;
    EXPECT_EQ(announced, s.length);
    EXPECT_EQ(s.header.attrib, 0);
    if (type == S_IFREG) {
        EXPECT_EQ(s.header.id, grfs_client::kStreamStandard);
        ASSERT_EQ(s.length, static_cast<uint64_t>(e.st.st_size));
        std::string diff = compare_file(root + "/" + path, s.length, [&](uint64_t offset, unsigned char* out, size_t n) {
            return archive.read(s, offset, std::span<unsigned char>(out, n)).ok();
        });
        EXPECT_EQ(diff, "");
    } else if (type == S_IFLNK) {
        EXPECT_EQ(s.header.id, grfs_client::kStreamUnixEa);
        auto bytes = archive.read_all(s);
        ASSERT_TRUE(bytes.ok());
        // Length word in the agent's (here: this host's) order, name, target.
        const std::string name = base_of(path);
        const uint32_t want = static_cast<uint32_t>(4 + name.size() + 1 + e.link_target.size() + 1);
        ASSERT_EQ(bytes->size(), want);
        uint32_t length = 0;
        std::memcpy(&length, bytes->data(), 4);
        EXPECT_EQ(length, want);
        std::string expected(name);
        expected.push_back('\0');
        expected += e.link_target;
        expected.push_back('\0');
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->data() + 4), bytes->size() - 4), expected);
    } else {
        ADD_FAILURE() << "unexpected object type " << std::oct << type;
    }
}

// Reads an object through a session of our own, reply by reply: the last
// bytes carry the end-of-object code, and a read past the end gets -500
// with nothing.
void probe_object(grfs_client::Peer& peer, const std::string& path, const std::string& dir, const Dblk& dblk,
                  const Entry& e) {
    SCOPED_TRACE("reading '" + printable(path) + "'");
    auto& c = peer.connection();
    const mode_t type = e.st.st_mode & S_IFMT;
    if (!dblk.is_directory()) {
        ASSERT_TRUE(peer.change_dir(dir).ok());
    }
    auto opened = grfs_client::open_object(c, peer.dle_id(), dblk, GRFS_OPEN_READ);
    if (type == S_IFIFO) {
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.error().kind, grfs_client::ErrorKind::retcode);
        EXPECT_EQ(opened.error().retcode, 1);
        return;
    }
    if (type == S_IFREG && (e.st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH)) == 0 && geteuid() != 0) {
        // Not root: the agent adds owner write permission, retries, fails
        // again for lack of read permission, and puts the mode back.
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.error().retcode, GRFS_RC_ACCESS_DENIED);
        return;
    }
    ASSERT_TRUE(opened.ok()) << opened.error().text;
    EXPECT_EQ(opened->retcode, 0);
    const OBJ_HANDLE obj = opened->obj_id;
    const uint32_t piece = peer.piece_size();

    uint64_t total = 0;
    if (type == S_IFREG)
        total = static_cast<uint64_t>(e.st.st_size);
    else if (type == S_IFLNK)
        total = 4 + base_of(path).size() + 1 + e.link_target.size() + 1;

    uint64_t offset = 0;
    int replies = 0;
    for (;;) {
        auto got = grfs_client::read_piece(c, obj, offset, piece);
        ASSERT_TRUE(got.ok()) << got.error().text;
        ++replies;
        const auto& p = *got;
        if (offset == 0 && total > 0) {
            EXPECT_EQ(p.stream.id, type == S_IFLNK ? grfs_client::kStreamUnixEa : grfs_client::kStreamStandard);
        } else {
            EXPECT_EQ(p.stream.id, 0u) << "at offset " << offset;
        }
        offset += p.data.size();
        if (offset < total) {
            ASSERT_EQ(p.retcode, 0) << "at offset " << offset;
            ASSERT_GT(p.data.size(), 0u);
            continue;
        }
        // The last bytes travel with the end-of-object code; an empty
        // object (directory, device, empty file) answers it at once.
        EXPECT_EQ(p.retcode, GRFS_RC_END_OF_DATA);
        EXPECT_EQ(offset, total);
        if (total > 0) {
            EXPECT_GT(p.data.size(), 0u);
        }
        break;
    }
    EXPECT_GE(static_cast<uint64_t>(replies), total == 0 ? 1 : (total + piece - 1) / piece);
    // Past the end: -500, no bytes, no header.
    auto past = grfs_client::read_piece(c, obj, total, piece);
    ASSERT_TRUE(past.ok()) << past.error().text;
    EXPECT_EQ(past->retcode, GRFS_RC_END_OF_DATA);
    EXPECT_TRUE(past->data.empty());
    EXPECT_EQ(past->stream.id, 0u);
    EXPECT_TRUE(grfs_client::close_object(c, obj).ok());
}

TEST(BackupEndToEnd, EveryObjectOfARealTreeComesBackAsTheFileSystemHasIt) {
    TempDir source("e2e-backup-src");
    TempDir work("e2e-backup-work");
    BuiltTree tree = build_tree(source.path(), TreeOptions{});
    for (const auto& s : tree.skipped) std::printf("note: %s\n", s.c_str());
    const auto before = snapshot(source.path());

    agent_it::AgentConfig config;
    config.extra_lines = export_line(source.path(), "TREE") + "exclude_dir " + tree.excluded_path() + "\n";
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());

    const std::string archive_path = work.path() + "/tree.grfsarc";
    std::vector<std::string> args = {"backup", agent_host_port(agent), "TREE", archive_path};
    for (const auto& a : session_args(agent)) args.push_back(a);
    ProcessResult run = run_grfsclient(args);
    if (geteuid() == 0) {
        ASSERT_EQ(run.status, 0) << run.describe();
    } else {
        // The unreadable file cannot be read by an unprivileged agent; the
        // summary names it and the status says so.
        ASSERT_EQ(run.status, 1) << run.describe();
        EXPECT_NE(run.out.find(names::kUnreadable + ": not read: open answered -507"), std::string::npos)
            << run.describe();
    }
    // The FIFO is no failure, only a note.
    EXPECT_NE(run.out.find("note: " + names::kFifo + ": "), std::string::npos) << run.describe();

    auto reader = grfs_client::ArchiveReader::open(archive_path);
    ASSERT_TRUE(reader.ok()) << reader.error().text;
    LoadedArchive loaded = load_archive(*reader);
    ASSERT_TRUE(loaded.ok) << loaded.error;
    EXPECT_EQ(grfs_client::info_value(reader->info(), "dle"), "TREE");

    // Every object but the excluded directory and what it holds, once each.
    std::set<std::string> expected;
    for (const auto& [path, e] : before) {
        if (tree.has_excluded && below(path, names::kExcluded)) continue;
        expected.insert(path);
    }
    std::map<std::string, const ArchivedObject*> archived;
    for (const auto& object : loaded.objects) {
        const std::string path = object_path(object.dir, object.dblk);
        EXPECT_TRUE(archived.emplace(path, &object).second) << "listed twice: " << printable(path);
    }
    std::set<std::string> got;
    for (const auto& [path, o] : archived) got.insert(path);
    EXPECT_EQ(got, expected);
    ASSERT_FALSE(loaded.objects.empty());
    EXPECT_EQ(object_path(loaded.objects[0].dir, loaded.objects[0].dblk), "") << "the root comes first";
    EXPECT_EQ(reader->object_count(), loaded.objects.size());

    for (const auto& [path, object] : archived) {
        auto it = before.find(path);
        if (it == before.end()) continue;
        // Listing the root to describe it moves the root's access time, and
        // reading one name of a multiply linked file moves the time the
        // other names are listed with later.
        const struct stat& st = it->second.st;
        const bool atime_kept = !path.empty() && !(S_ISREG(st.st_mode) && st.st_nlink > 1);
        check_dblk(path, object->dir, object->dblk, it->second, atime_kept);
        const bool unreadable_here = path == names::kUnreadable && geteuid() != 0;
        if (unreadable_here) {
            EXPECT_EQ(object->outcome.stage, grfs_client::STAGE_OPEN_FAILED);
            EXPECT_EQ(object->outcome.retcode, GRFS_RC_ACCESS_DENIED);
        } else {
            check_streams(source.path(), path, *object, it->second, *reader);
        }
    }
    // The hard-linked pair: two objects, one inode, two links.
    ASSERT_TRUE(archived.count(names::kHardA) && archived.count(names::kHardB));
    EXPECT_EQ(archived[names::kHardA]->dblk.unix_info().ino, archived[names::kHardB]->dblk.unix_info().ino);
    EXPECT_EQ(archived[names::kHardA]->dblk.unix_info().nlink, 2u);
    // The unreadable file carries the "no read permission" attribute and
    // keeps its mode whatever the agent had to do to open it.
    if (tree.has_unreadable) {
        EXPECT_EQ(archived[names::kUnreadable]->dblk.gen_attr() & 0x01, 0x01u);
        struct stat st {};
        ASSERT_EQ(lstat((source.path() + "/" + names::kUnreadable).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0u);
    }

    // How each kind of object reads, reply by reply.
    auto peer = connect_peer(agent, "TREE");
    ASSERT_TRUE(peer.ok()) << peer.error().text;
    for (const auto& [path, object] : archived) {
        auto it = before.find(path);
        if (it == before.end()) continue;
        probe_object(*peer, path, object->dir, object->dblk, it->second);
    }
    peer->close();

    agent_it::AgentExit exit = agent.Stop();
    EXPECT_TRUE(exit.left.empty()) << exit.describe();
    for (const auto& [pid, status] : exit.others) {
        EXPECT_FALSE(WIFSIGNALED(status) && WTERMSIG(status) != SIGTERM && WTERMSIG(status) != SIGKILL)
            << exit.describe();
    }
}

// Two servers backing up one export at once: each session process keeps
// its own searches and open objects, so both archives hold the same
// objects with the same bytes.
TEST(BackupEndToEnd, TwoConcurrentBackupsOfOneExportStoreTheSameObjects) {
    TempDir source("e2e-backup2-src");
    TempDir work("e2e-backup2-work");
    TreeOptions options;
    options.large_file = false;
    BuiltTree tree = build_tree(source.path(), options);
    for (int i = 0; i < 200; ++i) write_pattern_file(source.path() + "/big/many " + std::to_string(i), 40000 + i, 100 + i);

    agent_it::AgentConfig config;
    config.extra_lines = export_line(source.path(), "TREE") + "exclude_dir " + tree.excluded_path() + "\n";
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());

    const std::string paths[2] = {work.path() + "/a.grfsarc", work.path() + "/b.grfsarc"};
    ProcessResult runs[2];
    std::thread threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = std::thread([&, i] {
            std::vector<std::string> args = {"backup", agent_host_port(agent), "TREE", paths[i]};
            for (const auto& a : session_args(agent)) args.push_back(a);
            runs[i] = run_grfsclient(args);
        });
    }
    for (auto& t : threads) t.join();
    std::map<std::string, std::vector<std::vector<unsigned char>>> contents[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(runs[i].status, geteuid() == 0 ? 0 : 1) << runs[i].describe();
        auto reader = grfs_client::ArchiveReader::open(paths[i]);
        ASSERT_TRUE(reader.ok()) << reader.error().text;
        LoadedArchive loaded = load_archive(*reader);
        ASSERT_TRUE(loaded.ok) << loaded.error;
        for (const auto& object : loaded.objects) {
            auto& streams = contents[i][object_path(object.dir, object.dblk)];
            for (const auto& stream : object.streams) {
                auto bytes = reader->read_all(stream);
                ASSERT_TRUE(bytes.ok());
                streams.push_back(*bytes);
            }
        }
    }
    size_t expected = 0;
    for (const auto& [path, e] : snapshot(source.path())) expected += below(path, names::kExcluded) ? 0 : 1;
    EXPECT_EQ(contents[0].size(), expected);
    EXPECT_TRUE(contents[0] == contents[1]);

    agent_it::AgentExit exit = agent.Stop();
    EXPECT_TRUE(exit.left.empty()) << exit.describe();
}

}  // namespace
}  // namespace e2e
