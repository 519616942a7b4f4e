// The session process over a socket pair: replies framed on the wire, a
// peer that vanishes while replies are sent, and the whole process from
// first request to exit.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include "agent/listener.h"
#include "agent/request_dispatch.h"
#include "agent/session_process.h"
#include "agent_test_support.h"
#include "grfs/messages.h"
#include "session_test_support.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/workstation.h"

namespace {

using agent_test::Bytes;
using agent_test::LinkedSession;
using agent_test::VerifyRequest;

volatile sig_atomic_t usr2_seen = 0;
void count_usr2(int) { usr2_seen = usr2_seen + 1; }

class SessionProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent_test::reset_workstation();
        saved_pipe_ = signal(SIGPIPE, SIG_DFL);  // a send must never raise it
    }
    void TearDown() override {
        signal(SIGPIPE, saved_pipe_);
        agent_test::reset_workstation();
    }
    void (*saved_pipe_)(int) = nullptr;
};

GRFS_MESSAGE* verify_reply(GRFS_SESSION* ses, uint32_t id, uint16_t size) {
    GRFS_MESSAGE* reply = StartReply(ses, id, GRFS_VERIFY_OBJ_STAT);
    reply->body.write_obj_stat.size = size;
    reply->body.write_obj_stat.blk_size = 1;
    return reply;
}

TEST_F(SessionProcessTest, ReplyGoesOutBehindTheNrlHeaderFromTheSessionsSendBuffer) {
    LinkedSession link;
    ASSERT_TRUE(AllocateSessionBuffers(link.ses()));
    EXPECT_EQ(SendMessage(link.ses(), verify_reply(link.ses(), 0x01020304, 0x0506), 4), 0);
    EXPECT_EQ(link.read_reply(),
              Bytes({0, 0, 12, 0, 0x4D, 0, 0, 0, 0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x01, 0x00}));
    EXPECT_EQ(link.ses()->send_state, 32);

    // Steady traffic reuses the buffer.
    unsigned char* first = link.nrl()->sndbuf;
    EXPECT_EQ(SendMessage(link.ses(), verify_reply(link.ses(), 2, 3), 4), 0);
    EXPECT_EQ(link.read_reply().size(), 16u);
    EXPECT_EQ(link.nrl()->sndbuf, first);
    CleanupSessionResources(link.ses());
    FreeSessionBuffers(link.ses());
}

TEST_F(SessionProcessTest, CoderCountDecidesWhatIsSent) {
    LinkedSession link;
    ASSERT_TRUE(AllocateSessionBuffers(link.ses()));
    grfs_debug = DBG_CONFIG;
    agent_test::StderrCapture cap;
    EXPECT_EQ(SendMessage(link.ses(), verify_reply(link.ses(), 1, 1), 10), 0);
    std::string text = cap.text();
    grfs_debug = 0;
    EXPECT_NE(text.find("SendMessage(GRFS_VERIFY_OBJ_STAT): amount_sent(4) != spec_size(10)\n"), std::string::npos)
        << text;
    EXPECT_EQ(link.read_reply().size(), 4u + 12u);
    CleanupSessionResources(link.ses());
    FreeSessionBuffers(link.ses());
}

TEST_F(SessionProcessTest, SendToAVanishedPeerFailsWithoutSigpipe) {
    LinkedSession link;
    ASSERT_TRUE(AllocateSessionBuffers(link.ses()));
    link.close_peer();
    EXPECT_EQ(SendMessage(link.ses(), verify_reply(link.ses(), 1, 1), 4), 1);
    // Still alive: SIGPIPE has its default action here.
    CleanupSessionResources(link.ses());
    FreeSessionBuffers(link.ses());
}

TEST_F(SessionProcessTest, WithoutSessionOrSinkASendGoesNowhereAndSucceeds) {
    GRFS_SESSION ses{};
    auto reply = std::make_unique<GRFS_MESSAGE>();
    ses.reply = reply.get();
    EXPECT_EQ(SendMessage(&ses, verify_reply(&ses, 1, 1), 4), 0);
    // The same reply, given a sink, has that size.
    int sent_size = -1;
    ses.sink_context = &sent_size;
    ses.reply_sink = [](GRFS_SESSION* s, std::span<const unsigned char> encoded) {
        *static_cast<int*>(s->sink_context) = static_cast<int>(encoded.size()) - GRFS_MSG_HEADER_SIZE;
        return 0;
    };
    EXPECT_EQ(SendMessage(&ses, verify_reply(&ses, 1, 1), 4), 0);
    EXPECT_EQ(sent_size, 4);
}

TEST_F(SessionProcessTest, RefusingSinkMakesTheSendFail) {
    GRFS_SESSION ses{};
    auto reply = std::make_unique<GRFS_MESSAGE>();
    ses.reply = reply.get();
    ses.reply_sink = [](GRFS_SESSION*, std::span<const unsigned char>) { return 1; };
    EXPECT_EQ(SendMessage(&ses, verify_reply(&ses, 1, 1), 4), 1);
}

// Runs a whole session process in a child over the socket pair; the test
// plays the backup server and the listener (which receives SIGUSR2).
class WholeSessionTest : public SessionProcessTest {
protected:
    void SetUp() override {
        SessionProcessTest::SetUp();
        usr2_seen = 0;
        saved_usr2_ = signal(SIGUSR2, count_usr2);
        ws_cntl.listener_pid = static_cast<uint32_t>(getpid());
        InitQueue(&ws_cntl.session_list);
    }
    void TearDown() override {
        signal(SIGUSR2, saved_usr2_);
        SessionProcessTest::TearDown();
    }
    pid_t start(LinkedSession& link) {
        pid_t pid = fork();
        if (pid == 0) {
            close(link.peer());
            Session_Handler_Process(link.ses());
        }
        return pid;
    }
    // Waits for the child and for its end-of-session signal.
    int finish(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        for (int i = 0; i < 200 && usr2_seen == 0; ++i) usleep(5000);
        return status;
    }
    void (*saved_usr2_)(int) = nullptr;
};

TEST_F(WholeSessionTest, ServesRequestsInOrderAndExitsWithZeroWhenThePeerCloses) {
    LinkedSession link;
    pid_t pid = start(link);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(link.send_request(agent_test::RawRequest(22, 1, std::vector<unsigned char>(10, 0))));
    ASSERT_TRUE(link.send_request(VerifyRequest(2, 10, 3)));
    ASSERT_TRUE(link.send_request(VerifyRequest(3, 100, 100)));
    // Type 22 is dropped; both verifies are confirmed (their data is never read).
    EXPECT_EQ(link.read_reply(), Bytes({0, 0, 12, 0, 0x4D, 0, 0, 0, 2, 0, 0, 0, 10, 0, 1, 0}));
    EXPECT_EQ(link.read_reply(), Bytes({0, 0, 12, 0, 0x4D, 0, 0, 0, 3, 0, 0, 0, 100, 0, 1, 0}));
    link.close_peer();
    int status = finish(pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(usr2_seen, 1);
}

TEST_F(WholeSessionTest, PeerDeallocationEndsTheSession) {
    LinkedSession link;
    pid_t pid = start(link);
    ASSERT_GT(pid, 0);
    const unsigned char dealloc[4] = {1, 0, 5, 0};
    ASSERT_EQ(write(link.peer(), dealloc, 4), 4);
    int status = finish(pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(usr2_seen, 1);
}

TEST_F(WholeSessionTest, PeerVanishingWhileRepliesAreSentEndsTheSessionWithZero) {
    LinkedSession link;
    pid_t pid = start(link);
    ASSERT_GT(pid, 0);
    // Far more replies than the socket holds, none read: the session is
    // blocked in a send when the peer goes.
    std::vector<unsigned char> request = VerifyRequest(1, 0, 0);
    std::vector<unsigned char> burst;
    for (int i = 0; i < 4000; ++i) {
        burst.insert(burst.end(), {0, 0, static_cast<unsigned char>(request.size()), 0});
        burst.insert(burst.end(), request.begin(), request.end());
    }
    size_t sent = 0;
    fcntl(link.peer(), F_SETFL, O_NONBLOCK);
    for (int idle = 0; sent < burst.size() && idle < 50;) {
        ssize_t n = write(link.peer(), burst.data() + sent, burst.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            idle = 0;
        } else {
            ++idle;
            usleep(2000);
        }
    }
    link.close_peer();
    int status = finish(pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SessionRecordTest, CompletionRoutineMarksOnlyGoodMessages) {
    LinkedSession link;
    IncomingGRFSMessage(link.nrl(), COMM_FAILURE, nullptr, 40);
    EXPECT_EQ(link.ses()->msg_arrived, 0);
    IncomingGRFSMessage(link.nrl(), 0, nullptr, 40);
    EXPECT_EQ(link.ses()->msg_arrived, 1);
    EXPECT_EQ(link.ses()->msg_len, 40);
    EXPECT_EQ(link.ses()->msg_status, 0);
}

}  // namespace
