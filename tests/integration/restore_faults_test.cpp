// Restores and backups that meet a full file system or a denied permission:
// a restore onto a small file system that runs out of space is answered
// with -506 and the session goes on; objects the agent may not read or
// write give the access-denied and not-found codes, and the session goes on.
// The permission cases run the agent as root without the capabilities that
// override file permissions, so that they hold for root as they would for
// any other user.
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent_process.h"
#include "client/peer.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "grfs/messages.h"
#include "hardening_support.h"
#include "tree_builder.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;

constexpr uint16_t kReasonRestore = 0x4;
constexpr uint32_t kStreamStandard = 0x4E415453;

using e2e::failed_retcode;
using e2e::find_listed;

// The retcode of one request built by fill, sent as it is.
int16_t Transact(grfs_client::Connection& c, uint8_t type, const std::function<void(GRFS_MESSAGE&)>& fill) {
    GRFS_MESSAGE& rq = c.request_scratch();
    grfs_client::start_message(rq, type);
    fill(rq);
    grfs_client::Status s = c.transact(rq, c.reply_scratch());
    EXPECT_TRUE(s.ok()) << s.text;
    return c.reply_scratch().hdr.retcode;
}

TEST(RestoreFaults, AFullFileSystemAnswers506AndTheSessionGoesOn) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    e2e::TempDir small("agent-enospc");
    if (mount("agent-enospc", small.path().c_str(), "tmpfs", MS_NODEV | MS_NOSUID, "size=256k,mode=0755") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{small.path()};

    AgentConfig config;
    config.extra_lines = e2e::export_line(small.path(), "SMALL");
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    {
        e2e::write_file(agent.export_dir() + "/big.bin", std::string(1 << 20, 'x'));
        e2e::write_file(agent.export_dir() + "/little.txt", "fits\n");
        grfs_client::Peer data = e2e::expect_peer(agent, "DATA", 0);
        auto big = find_listed(data, "", "big.bin");
        auto little = find_listed(data, "", "little.txt");
        ASSERT_TRUE(big && little);
        data.close();

        grfs_client::Peer peer = e2e::expect_peer(agent, "SMALL", kReasonRestore);
        grfs_client::Connection& c = peer.connection();
        ASSERT_EQ(e2e::replied_retcode(grfs_client::create_object(c, peer.dle_id(), *big)), 0);
        auto opened = grfs_client::open_object(c, peer.dle_id(), *big, GRFS_OPEN_WRITE);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        GRFS_STREAM_INFO stream{};
        stream.id = kStreamStandard;
        stream.size = U64_Init(1 << 20, 0);
        std::vector<unsigned char> piece(GRFS_OBJECT_BUFFER_SIZE, 'x');
        uint64_t done = 0;
        int16_t failed = 0;
        for (int i = 0; i < 64 && done < (1u << 20) && failed == 0; ++i) {
            auto w = grfs_client::write_piece(c, opened->obj_id, done, done == 0 ? stream : GRFS_STREAM_INFO{}, piece);
            failed = failed_retcode(w);
            if (w.ok()) done += w->consumed;
        }
        EXPECT_EQ(failed, GRFS_RC_NO_SPACE) << done << " bytes written";
        EXPECT_LT(done, 1u << 20);

        // The session goes on: the object closes, the file goes, and a
        // file that fits is restored whole.
        EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
        EXPECT_EQ(e2e::replied_retcode(grfs_client::delete_object(c, peer.dle_id(), *big)), 0);
        EXPECT_TRUE(grfs_client::verify_echo(c, 10).ok());
        ASSERT_EQ(e2e::replied_retcode(grfs_client::create_object(c, peer.dle_id(), *little)), 0);
        auto second = grfs_client::open_object(c, peer.dle_id(), *little, GRFS_OPEN_WRITE);
        ASSERT_TRUE(second.ok()) << second.error().text;
        const std::string fits = "fits\n";
        GRFS_STREAM_INFO s2{};
        s2.id = kStreamStandard;
        s2.size = U64_Init(static_cast<uint32_t>(fits.size()), 0);
        auto w = grfs_client::write_piece(c, second->obj_id, 0, s2,
                                          std::span<const unsigned char>(
                                              reinterpret_cast<const unsigned char*>(fits.data()), fits.size()));
        ASSERT_TRUE(w.ok()) << w.error().text;
        EXPECT_EQ(w->consumed, fits.size());
        EXPECT_TRUE(grfs_client::close_object(c, second->obj_id).ok());
        EXPECT_EQ(e2e::replied_retcode(grfs_client::set_object_info(c, peer.dle_id(), *little)), 0);
        EXPECT_EQ(e2e::replied_retcode(grfs_client::verify_object_info(c, peer.dle_id(), *little)), 0);
        peer.close();
    }
    hardening::ExpectCleanStop(agent);
}

// Runs body in a child process whose programs, the agent among them, run
// as root without the capabilities that override file permissions and
// ownership; the child's failures fail the test.
void WithoutPermissionOverrides(const std::function<void()>& body) {
    std::fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER, CAP_CHOWN}) {
            if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
                std::printf("cannot drop capability %d: %s\n", cap, std::strerror(errno));
                std::fflush(stdout);
                _exit(2);
            }
        }
        body();
        std::fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the agent without permission overrides: see the failures above";
}

void Make(const std::string& path, const std::string& content, mode_t mode, uid_t uid) {
    e2e::write_file(path, content);
    ASSERT_EQ(chown(path.c_str(), uid, uid), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

void MakeDir(const std::string& path, mode_t mode, uid_t uid) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(chown(path.c_str(), uid, uid), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(PermissionFaults, DeniedObjectsGiveTheirCodesInBackupAndRestore) {
    if (geteuid() != 0) GTEST_SKIP() << "objects of another owner can only be made by root";
    WithoutPermissionOverrides([] {
        AgentProcess agent;
        ASSERT_TRUE(agent.Start());
        const std::string ex = agent.export_dir();
        const uid_t other = e2e::kForeignUid;
        Make(ex + "/secret.txt", "not for the agent\n", 0000, other);
        Make(ex + "/own_ro.txt", "read only, ours\n", 0444, 0);
        Make(ex + "/their_ro.txt", "read only, theirs\n", 0444, other);
        Make(ex + "/chown_me.txt", "owner to be set\n", 0644, other);
        Make(ex + "/suid_me", "a program\n", 04755, other);
        MakeDir(ex + "/closed", 0755, other);
        Make(ex + "/closed/inside.txt", "behind a closed door\n", 0644, other);
        MakeDir(ex + "/theirs", 0755, other);
        Make(ex + "/theirs/victim.txt", "stays\n", 0644, other);
        MakeDir(ex + "/locked", 0555, 0);
        MakeDir(ex + "/tpl", 0755, 0);
        Make(ex + "/tpl/new.txt", "template\n", 0644, 0);
        Make(ex + "/tpl/victim.txt", "template\n", 0644, 0);

        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", kReasonRestore);
        grfs_client::Connection& c = peer.connection();
        const DLE_HANDLE dle = peer.dle_id();
        auto secret = find_listed(peer, "", "secret.txt");
        auto own_ro = find_listed(peer, "", "own_ro.txt");
        auto their_ro = find_listed(peer, "", "their_ro.txt");
        auto chown_me = find_listed(peer, "", "chown_me.txt");
        auto suid_me = find_listed(peer, "", "suid_me");
        auto inside = find_listed(peer, "closed", "inside.txt");
        auto tpl_new = find_listed(peer, "tpl", "new.txt");
        auto tpl_victim = find_listed(peer, "tpl", "victim.txt");
        ASSERT_TRUE(secret && own_ro && their_ro && chown_me && suid_me && inside && tpl_new && tpl_victim);

        // Backup: a file the agent may not read.
        ASSERT_TRUE(peer.change_dir("").ok());
        EXPECT_EQ(failed_retcode(grfs_client::open_object(c, dle, *secret, GRFS_OPEN_READ)), GRFS_RC_ACCESS_DENIED);
        EXPECT_EQ(ModeOf(ex + "/secret.txt"), 0000u);

        // Backup: a directory that closes while the agent stands in it.
        ASSERT_TRUE(peer.change_dir("closed").ok());
        ASSERT_EQ(chmod((ex + "/closed").c_str(), 0000), 0);
        auto verified = grfs_client::verify_object_info(c, dle, *inside);
        ASSERT_TRUE(verified.ok());
        EXPECT_EQ(*verified, GRFS_RC_ACCESS_DENIED);
        EXPECT_EQ(Transact(c, GRFS_FIND_FIRST_OBJ,
                           [&](GRFS_MESSAGE& rq) {
                               rq.body.find_first_obj.dle_id = dle;
                               std::strcpy(rq.body.find_first_obj.search_name, "*");
                           }),
                  GRFS_RC_NOT_FOUND);
        auto into = grfs_client::change_dir(c, dle, "closed");
        EXPECT_EQ(into.retcode, GRFS_RC_CHANGE_DIR_FAILED) << into.text;

        // Restore: a file of another owner that is read-only cannot be
        // opened for writing; one of ours is, and keeps its mode.
        ASSERT_TRUE(grfs_client::change_dir(c, dle, "").ok());
        EXPECT_EQ(failed_retcode(grfs_client::open_object(c, dle, *their_ro, GRFS_OPEN_WRITE)), GRFS_RC_ACCESS_DENIED);
        auto ours = grfs_client::open_object(c, dle, *own_ro, GRFS_OPEN_WRITE);
        EXPECT_TRUE(ours.ok()) << ours.error().text;
        if (ours.ok()) {
            EXPECT_TRUE(grfs_client::close_object(c, ours->obj_id).ok());
        }
        EXPECT_EQ(ModeOf(ex + "/own_ro.txt"), 0444u);

        // Restore: the owner cannot be given away without the privilege.
        ASSERT_EQ(chown((ex + "/chown_me.txt").c_str(), 0, 0), 0);
        auto set = grfs_client::set_object_info(c, dle, *chown_me);
        ASSERT_TRUE(set.ok());
        EXPECT_EQ(*set, GRFS_RC_ACCESS_DENIED);
        // Nor does a set-user-id file then get its set-id bits as root's.
        ASSERT_EQ(chown((ex + "/suid_me").c_str(), 0, 0), 0);
        ASSERT_EQ(chmod((ex + "/suid_me").c_str(), 0755), 0);
        auto suid_set = grfs_client::set_object_info(c, dle, *suid_me);
        ASSERT_TRUE(suid_set.ok());
        EXPECT_EQ(*suid_set, GRFS_RC_ACCESS_DENIED);
        EXPECT_EQ(ModeOf(ex + "/suid_me"), 0755u);

        // Restore: creating and deleting in a directory of another owner is
        // denied; in a read-only directory of ours the agent makes room and
        // puts the directory's mode back.
        ASSERT_TRUE(grfs_client::change_dir(c, dle, "theirs").ok());
        auto created = grfs_client::create_object(c, dle, *tpl_new);
        ASSERT_TRUE(created.ok());
        EXPECT_EQ(*created, GRFS_RC_ACCESS_DENIED);
        auto deleted = grfs_client::delete_object(c, dle, *tpl_victim);
        ASSERT_TRUE(deleted.ok());
        EXPECT_EQ(*deleted, GRFS_RC_ACCESS_DENIED);
        struct stat st {};
        EXPECT_EQ(stat((ex + "/theirs/victim.txt").c_str(), &st), 0);
        ASSERT_TRUE(grfs_client::change_dir(c, dle, "locked").ok());
        auto made = grfs_client::create_object(c, dle, *tpl_new);
        ASSERT_TRUE(made.ok());
        EXPECT_EQ(*made, 0);
        EXPECT_EQ(stat((ex + "/locked/new.txt").c_str(), &st), 0);
        EXPECT_EQ(ModeOf(ex + "/locked"), 0555u);

        // And the session still serves.
        EXPECT_TRUE(grfs_client::verify_echo(c, 4).ok());
        peer.close();
        chmod((ex + "/closed").c_str(), 0755);
        hardening::ExpectCleanStop(agent);
    });
}

}  // namespace
