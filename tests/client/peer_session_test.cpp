// The peer against an in-process agent stand-in: attach with scrambled
// credentials, DLE listing, walks, and backup, restore and verify runs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "client/archive_reader.h"
#include "client/backup.h"
#include "client/link_record.h"
#include "client/peer.h"
#include "client/restore.h"
#include "client/verify.h"
#include "fake_agent.h"

using namespace grfs_client;

namespace {

PeerOptions options_for(const fake::FakeAgent& agent) {
    PeerOptions o;
    o.endpoint = Endpoint{"127.0.0.1", agent.port()};
    o.workstation_names = {"WS"};
    o.connect.reply_timeout_ms = 20000;
    return o;
}

void populate(fake::FakeAgent& agent) {
    agent.add_file("a", "xyz");
    agent.add_dir("d");
    agent.add_file("d/b", std::string(70000, 'q') + "end", S_IFREG | 04755);
    agent.add_link("d/l", "../a");
    agent.add_dir("d/e");
    agent.add_file("d/e/f", "");
    agent.add_dir("z");
    agent.add_file("z/y", "last");
    agent.add_fifo("p");
}

std::string temp_archive() {
    char name[] = "/tmp/grfs_peer_testXXXXXX";
    int fd = mkstemp(name);
    close(fd);
    return name;
}

struct ArchiveFile {
    std::string path = temp_archive();
    ~ArchiveFile() { std::remove(path.c_str()); }
};

}  // namespace

TEST(PeerSession, AttachSendsScrambledCredentialsAsTheAgentHoldsThem) {
    fake::FakeAgent agent;
    agent.workstation_password = "SECRET";
    agent.dle_password = "DLEPW";
    agent.serve();
    PeerOptions o = options_for(agent);
    o.workstation_names = {"nobody", "WS"};  // the first is refused, the second taken
    o.workstation_password = "secret";
    o.dle_password = "dlepw";
    o.attach.reason = kAttachReasonRestore;
    auto peer = Peer::connect(o);
    ASSERT_TRUE(peer.ok()) << peer.error().text;
    EXPECT_EQ(peer->workstation_name(), "WS");
    ASSERT_TRUE(peer->attach("EXP").ok());
    auto dles = peer->list_dles();
    ASSERT_TRUE(dles.ok());
    ASSERT_EQ(dles->size(), 1u);
    EXPECT_EQ((*dles)[0].name, "EXP");
    EXPECT_TRUE((*dles)[0].password_required);
    peer->close();
    agent.wait();
    EXPECT_EQ(agent.attach_names, (std::vector<std::string>{"nobody", "WS", "EXP"}));
    EXPECT_EQ(agent.attach_passwords, (std::vector<std::string>{"SECRET", "SECRET", "DLEPW"}));
    EXPECT_EQ(agent.attach_reasons.back(), kAttachReasonRestore);
    // Detach of the DLE, then of the workstation.
    EXPECT_EQ(agent.request_types.back(), GRFS_DETACH_DLE);
}

TEST(PeerSession, RefusedAttachNamesTheCandidatesTried) {
    fake::FakeAgent agent;
    agent.serve();
    PeerOptions o = options_for(agent);
    o.workstation_names = {"one", "ONE"};
    auto peer = Peer::connect(o);
    ASSERT_FALSE(peer.ok());
    EXPECT_EQ(peer.error().kind, ErrorKind::retcode);
    EXPECT_EQ(peer.error().retcode, -507);
    EXPECT_NE(peer.error().text.find("one, ONE"), std::string::npos) << peer.error().text;
    agent.wait();
}

TEST(PeerSession, ManyDlesAreListedUntilMoreIsFalse) {
    fake::FakeAgent agent;
    agent.dles = {"A", "B", "C"};
    agent.serve();
    auto peer = Peer::connect(options_for(agent));
    ASSERT_TRUE(peer.ok());
    auto dles = peer->list_dles();
    ASSERT_TRUE(dles.ok());
    ASSERT_EQ(dles->size(), 3u);
    EXPECT_EQ((*dles)[2].name, "C");
    peer->close();
    agent.wait();
    // One first, two nexts, and no further next after more went false.
    EXPECT_EQ(std::count(agent.request_types.begin(), agent.request_types.end(), GRFS_FIND_NEXT_DLE), 2);
}

TEST(PeerSession, WalkResumesEachSearchInItsOwnDirectory) {
    for (bool at_once : {true, false}) {
        fake::FakeAgent agent;
        populate(agent);
        agent.serve();
        auto peer = Peer::connect(options_for(agent));
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(peer->attach("EXP").ok());
        std::vector<std::string> paths;
        WalkOptions w;
        w.descend_at_once = at_once;
        w.include_start = true;
        Status s = peer->walk("", w, [&](const WalkEntry& e) -> Status {
            paths.push_back(e.path() + (e.dblk.is_directory() ? "/" : ""));
            return {};
        });
        ASSERT_TRUE(s.ok()) << s.text;
        peer->close();
        agent.wait();
        // Every object once, with the right paths: a directory path made
        // after returning from a descent is only right when the peer went
        // back to the search's directory first.
        std::set<std::string> unique(paths.begin(), paths.end());
        EXPECT_EQ(unique.size(), paths.size());
        EXPECT_EQ(unique, (std::set<std::string>{"/", "a", "d/", "d/b", "d/e/", "d/e/f", "d/l", "p", "z/", "z/y"}));
        EXPECT_EQ(paths.front(), "/");
        if (at_once) {
            EXPECT_GE(agent.max_live_searches, 3u);
        }
    }
}

TEST(PeerSession, ReadsWholeObjectsWithTheirStreamHeaders) {
    fake::FakeAgent agent;
    populate(agent);
    agent.max_obj_bsize = 1000;  // many pieces
    agent.serve();
    auto peer = Peer::connect(options_for(agent));
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer->attach("EXP").ok());
    EXPECT_EQ(peer->piece_size(), 1000u);
    auto entries = peer->list_directory("d");
    ASSERT_TRUE(entries.ok());
    for (const Dblk& d : *entries) {
        if (d.text() == "b") {
            auto streams = peer->read_object("d", d);
            ASSERT_TRUE(streams.ok()) << streams.error().text;
            ASSERT_EQ(streams->size(), 1u);
            EXPECT_EQ((*streams)[0].header.id, kStreamStandard);
            EXPECT_EQ((*streams)[0].header.size.lsw, 70003u);
            EXPECT_EQ(std::string((*streams)[0].bytes.end() - 3, (*streams)[0].bytes.end()), "end");
            EXPECT_EQ((*streams)[0].bytes.size(), 70003u);
        }
        if (d.text() == "l") {
            auto streams = peer->read_object("d", d);
            ASSERT_TRUE(streams.ok());
            EXPECT_EQ(link_target(*streams).value_or(""), "../a");
        }
    }
    peer->close();
    agent.wait();
}

TEST(PeerSession, BackupRestoreVerifyRoundTrip) {
    ArchiveFile archive;
    BackupReport backup;
    {
        fake::FakeAgent source;
        populate(source);
        source.serve();
        auto peer = Peer::connect(options_for(source));
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(peer->attach("EXP").ok());
        uint64_t progress_calls = 0;
        BackupOptions b;
        b.on_progress = [&](uint64_t, uint64_t) { ++progress_calls; };
        auto report = backup_export(*peer, archive.path, b);
        ASSERT_TRUE(report.ok()) << report.error().text;
        backup = *report;
        EXPECT_GT(progress_calls, 0u);
        peer->close();
        source.wait();
    }
    EXPECT_EQ(backup.objects, 10u);
    EXPECT_EQ(backup.directories, 4u);
    EXPECT_EQ(backup.files, 4u);
    EXPECT_EQ(backup.links, 1u);
    EXPECT_EQ(backup.others, 1u);
    EXPECT_EQ(backup.bytes, 3u + 70003u + 4u + (4u + 2u + 5u));
    EXPECT_TRUE(backup.ok());
    ASSERT_EQ(backup.notes.size(), 1u);  // the FIFO
    EXPECT_EQ(backup.notes[0].path, "p");

    auto reader = ArchiveReader::open(archive.path);
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(info_value(reader->info(), "dle"), "EXP");
    EXPECT_EQ(info_value(reader->info(), "workstation"), "WS");

    // Restore into an empty export, below "copy", with a small piece size
    // that makes the EA stream be asked for again whole and a consumer
    // that takes part of each piece.
    fake::FakeAgent target;
    target.max_obj_bsize = 4;
    target.ea_blk_size = 11;
    target.max_consume = 3;
    target.serve();
    PeerOptions o = options_for(target);
    o.attach.reason = kAttachReasonRestore;
    auto peer = Peer::connect(o);
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer->attach("EXP").ok());
    RestoreOptions r;
    r.to = "copy";
    auto restored = restore_archive(*peer, archive.path, r);
    ASSERT_TRUE(restored.ok()) << restored.error().text;
    for (const auto& f : restored->failures) ADD_FAILURE() << f.path << ": " << f.reason;
    EXPECT_EQ(restored->objects, 10u);
    EXPECT_EQ(restored->restored, 10u);

    VerifyOptions v;
    v.to = "copy";
    auto verified = verify_archive(*peer, archive.path, v);
    ASSERT_TRUE(verified.ok()) << verified.error().text;
    for (const auto& d : verified->differences) ADD_FAILURE() << d.path << ": " << d.reason;
    EXPECT_EQ(verified->matched, 10u);
    peer->close();
    target.wait();

    EXPECT_EQ(target.tree["copy/a"].data, "xyz");
    EXPECT_EQ(target.tree["copy/d/b"].data.size(), 70003u);
    EXPECT_EQ(target.tree["copy/d/b"].mode, static_cast<uint32_t>(S_IFREG | 04755));
    EXPECT_EQ(target.tree["copy/d/l"].target, "../a");
    EXPECT_TRUE(target.tree["copy/d/e"].directory);
    EXPECT_TRUE(target.tree["copy"].info_set);  // the root of the backup, restored elsewhere
    EXPECT_TRUE(S_ISFIFO(target.tree["copy/p"].mode));

    const auto& log = target.log;
    auto at = [&](const std::string& entry) {
        return std::find(log.begin(), log.end(), entry) - log.begin();
    };
    // The EA stream was refused once and then sent whole.
    EXPECT_NE(std::find(log.begin(), log.end(), "REFUSE 4"), log.end());
    // A file gets its information before it is closed, a link after the
    // close that makes it, a directory after everything inside it.
    EXPECT_LT(at("SETINFO copy/a"), at("CLOSE copy/a"));
    EXPECT_GT(at("SETINFO copy/d/l"), at("CLOSE copy/d/l"));
    EXPECT_GT(at("SETINFO copy/d"), at("CLOSE copy/d/b"));
    EXPECT_GT(at("SETINFO copy/d"), at("SETINFO copy/d/e"));
    EXPECT_LT(at("SETINFO copy/d/e"), static_cast<long>(log.size()));
    // No open for the FIFO.
    EXPECT_EQ(std::find(log.begin(), log.end(), "OPEN W copy/p"), log.end());
}

TEST(PeerSession, VerifyNamesEveryDifference) {
    ArchiveFile archive;
    fake::FakeAgent agent;
    populate(agent);
    agent.serve();
    auto peer = Peer::connect(options_for(agent));
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer->attach("EXP").ok());
    ASSERT_TRUE(backup_export(*peer, archive.path).ok());
    peer->close();
    agent.wait();

    // Same size, other bytes; a file gone; a file added.
    agent.tree["z/y"].data = "LAST";
    agent.tree.erase("a");
    agent.add_file("d/new", "n");
    agent.serve();
    peer = Peer::connect(options_for(agent));
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer->attach("EXP").ok());
    auto report = verify_archive(*peer, archive.path);
    ASSERT_TRUE(report.ok()) << report.error().text;
    peer->close();
    agent.wait();
    std::map<std::string, std::string> found;
    for (const auto& d : report->differences) found[d.path] = d.reason;
    ASSERT_EQ(found.size(), 3u) << report->differences.size();
    EXPECT_EQ(found["a"], "missing");
    EXPECT_EQ(found["z/y"], "contents differ at byte 0 of stream STAN");
    EXPECT_EQ(found["d/new"], "not in the archive");
    EXPECT_FALSE(report->ok());
}

TEST(PeerSession, RestoreReportsFailedObjectsAndGoesOn) {
    ArchiveFile archive;
    {
        fake::FakeAgent source;
        populate(source);
        source.serve();
        auto peer = Peer::connect(options_for(source));
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(peer->attach("EXP").ok());
        ASSERT_TRUE(backup_export(*peer, archive.path).ok());
        peer->close();
    }
    // Restore below a path that is a file: the objects of the backup's
    // root cannot be placed, the directories below are made anew.
    fake::FakeAgent target;
    target.add_file("blocker", "x");
    target.serve();
    PeerOptions o = options_for(target);
    o.attach.reason = kAttachReasonRestore;
    auto peer = Peer::connect(o);
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer->attach("EXP").ok());
    RestoreOptions r;
    r.to = "blocker";
    auto report = restore_archive(*peer, archive.path, r);
    ASSERT_TRUE(report.ok()) << report.error().text;
    peer->close();
    target.wait();
    EXPECT_FALSE(report->ok());
    // The two objects of the root are named with the reason; the rest is
    // restored.
    std::set<std::string> failed;
    for (const auto& f : report->failures) failed.insert(f.path);
    EXPECT_EQ(failed, (std::set<std::string>{"a", "p"}));
    for (const auto& f : report->failures) EXPECT_NE(f.reason.find("-503"), std::string::npos) << f.reason;
    EXPECT_EQ(report->restored, report->objects - 2);
    EXPECT_EQ(target.tree["blocker/z/y"].data, "last");
}
