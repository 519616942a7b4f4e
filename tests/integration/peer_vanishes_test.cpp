// A peer that goes away in every phase of a session: during the open
// exchange, inside an NRL header, inside a message, in the middle of a
// backup read, in the middle of a restore write, and between create and
// close. Each time the agent goes on serving, the slot comes back, no
// process or descriptor of it is left behind, the session process ends
// through its own cleanup, and a partly restored file is reported (on the
// agent's console, and by a verify that fails), never passed off as
// restored.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "agent_process.h"
#include "client/peer.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "grfs/messages.h"
#include "hardening_support.h"
#include "raw_session.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;
using agent_it::Bytes;
using agent_it::MakeBytes;
using agent_it::RawSession;
using agent_it::WaitUntil;
using hardening::CountInStderr;

constexpr size_t kSourceSize = 200000;
constexpr uint16_t kReasonRestore = 0x4;
constexpr uint32_t kStreamStandard = 0x4E415453;

class PeerVanishes : public ::testing::Test {
protected:
    void SetUp() override {
        AgentConfig config;
        config.args = {"-d", "1"};  // session processes trace their start and their exit
        agent_ = std::make_unique<AgentProcess>(config);
        std::string big(1 << 20, '\0');
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
        ASSERT_TRUE(agent_->Start());
        e2e::write_file(agent_->export_dir() + "/big.bin", big);
        e2e::write_file(agent_->export_dir() + "/source.bin", big.substr(0, kSourceSize));
        // One whole session first, so that whatever the listener opens once
        // is open when its descriptors are counted.
        ASSERT_TRUE(hardening::AdmitAndServe(*agent_, 1, std::chrono::seconds(5)));
        ASSERT_TRUE(WaitUntil([&] { return agent_->SessionProcesses().empty(); }, 10000));
        listener_fds_ = agent_->SettledListenerDescriptors();
        ASSERT_GT(listener_fds_, 0);
    }
    void TearDown() override {
        if (agent_) hardening::ExpectCleanStop(*agent_);
    }

    AgentProcess& agent() { return *agent_; }

    // The one session process there is once a session was admitted.
    pid_t OnlySession() {
        EXPECT_TRUE(WaitUntil([&] { return agent_->SessionProcesses().size() == 1; }, 5000));
        auto s = agent_->SessionProcesses();
        return s.empty() ? -1 : s[0];
    }

    // The session process ended by itself, through its cleanup and exit.
    void ExpectEndedInOrder(pid_t session) {
        ASSERT_GT(session, 0);
        EXPECT_TRUE(WaitUntil([&] { return agent_it::ProcessState(session) == 0; }, 10000))
            << "session process " << session << " still there";
        const std::string exiting =
            std::to_string(session) + ":Session_Handler_Process " + std::to_string(session) + " exiting\n";
        EXPECT_TRUE(agent_->WaitForStderr(exiting, 5000)) << agent_->Stderr().substr(0, 4000);
    }

    // No session process, no zombie, the listener's descriptors as they
    // were, and four sessions admitted and served again.
    void ExpectRecovered() {
        EXPECT_TRUE(WaitUntil([&] { return agent_->SessionProcesses().empty(); }, 10000));
        EXPECT_TRUE(WaitUntil([&] { return agent_->ZombieChildren().empty(); }, 5000));
        EXPECT_TRUE(agent_->ListenerDescriptorsBecome(listener_fds_)) << agent_->ListenerDescriptors() << " vs " << listener_fds_;
        EXPECT_TRUE(hardening::AdmitAndServe(*agent_, 4, std::chrono::seconds(5)));
        EXPECT_TRUE(WaitUntil([&] { return agent_->SessionProcesses().empty(); }, 10000));
        EXPECT_TRUE(agent_->ListenerDescriptorsBecome(listener_fds_)) << agent_->ListenerDescriptors() << " vs " << listener_fds_;
    }

    // What a later session's verify says of the block.
    int16_t VerifyLater(const grfs_client::Dblk& dblk) {
        grfs_client::Peer peer = e2e::expect_peer(*agent_, "DATA", 0);
        auto rc = grfs_client::verify_object_info(peer.connection(), peer.dle_id(), dblk);
        EXPECT_TRUE(rc.ok()) << rc.error().text;
        peer.close();
        return rc.ok() ? *rc : 0;
    }

    std::unique_ptr<AgentProcess> agent_;
    int listener_fds_ = -1;
};

// Vanishes: the connection is reset rather than closed.
void Reset(int fd) {
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    shutdown(fd, SHUT_RDWR);
}

TEST_F(PeerVanishes, DuringTheOpenExchange) {
    const size_t failed = CountInStderr(agent(), "unable to establish a session\n");
    const size_t entered = CountInStderr(agent(), "Session_Handler_Process entered");
    {
        RawSession nothing(agent().session_address());
        ASSERT_TRUE(nothing.valid());
    }
    {
        // The type byte and 100 of the 512 bytes of allocation data.
        RawSession part(agent().session_address());
        ASSERT_TRUE(part.Send(Bytes(101, 0)));
    }
    EXPECT_TRUE(WaitUntil([&] { return CountInStderr(agent(), "unable to establish a session\n") >= failed + 2; }, 10000));
    // Neither got as far as a session process.
    EXPECT_EQ(CountInStderr(agent(), "Session_Handler_Process entered"), entered);
    {
        // The whole request, then gone before the reply.
        RawSession whole(agent().session_address());
        ASSERT_TRUE(whole.SendOpenRequest());
        whole.Reset();
    }
    ExpectRecovered();
}

TEST_F(PeerVanishes, InsideAnNrlHeader) {
    RawSession s(agent().session_address());
    ASSERT_EQ(s.OpenStatus(), 0);
    const pid_t session = OnlySession();
    ASSERT_TRUE(s.Send(MakeBytes({0, 0})));
    s.Close();
    ExpectEndedInOrder(session);
    ExpectRecovered();
}

TEST_F(PeerVanishes, InsideAMessage) {
    RawSession s(agent().session_address());
    ASSERT_EQ(s.OpenStatus(), 0);
    const pid_t session = OnlySession();
    // A header announcing 100 bytes, and 10 of them.
    Bytes cut = MakeBytes({0, 0, 100, 0});
    Bytes request = agent_it::VerifyRequest(1, 60, 60);
    cut.insert(cut.end(), request.begin(), request.begin() + 10);
    ASSERT_TRUE(s.Send(cut));
    s.Reset();
    ExpectEndedInOrder(session);
    ExpectRecovered();
}

TEST_F(PeerVanishes, InTheMiddleOfABackupRead) {
    {
        grfs_client::Peer peer = e2e::expect_peer(*agent_, "DATA", 0);
        auto big = e2e::find_listed(peer, "", "big.bin");
        ASSERT_TRUE(big.has_value());
        const pid_t session = OnlySession();
        auto opened = grfs_client::open_object(peer.connection(), peer.dle_id(), *big, GRFS_OPEN_READ);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        auto piece = grfs_client::read_piece(peer.connection(), opened->obj_id, 0, GRFS_OBJECT_BUFFER_SIZE);
        ASSERT_TRUE(piece.ok()) << piece.error().text;
        ASSERT_EQ(piece->data.size(), static_cast<size_t>(GRFS_OBJECT_BUFFER_SIZE));
        // The next read asked for, and gone before its reply.
        GRFS_MESSAGE& rq = peer.connection().request_scratch();
        grfs_client::start_message(rq, GRFS_READ_OBJ_LARGE);
        rq.body.read_obj_large.obj_id = opened->obj_id;
        rq.body.read_obj_large.size = GRFS_OBJECT_BUFFER_SIZE;
        rq.body.read_obj_large.offset = U64_Init(GRFS_OBJECT_BUFFER_SIZE, 0);
        ASSERT_TRUE(peer.connection().send(rq).ok());
        Reset(peer.connection().fd());
        ExpectEndedInOrder(session);
    }
    ExpectRecovered();
}

TEST_F(PeerVanishes, InTheMiddleOfARestoreWrite) {
    std::optional<grfs_client::Dblk> source;
    {
        grfs_client::Peer peer = e2e::expect_peer(*agent_, "DATA", kReasonRestore);
        source = e2e::find_listed(peer, "", "source.bin");
        ASSERT_TRUE(source.has_value());
        ASSERT_EQ(source->size(), kSourceSize);
        const pid_t session = OnlySession();
        auto created = grfs_client::create_object(peer.connection(), peer.dle_id(), *source);
        ASSERT_TRUE(created.ok() && *created == 0);
        auto opened = grfs_client::open_object(peer.connection(), peer.dle_id(), *source, GRFS_OPEN_WRITE);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        GRFS_STREAM_INFO stream{};
        stream.id = kStreamStandard;
        stream.size = U64_Init(kSourceSize, 0);
        std::vector<unsigned char> data(GRFS_OBJECT_BUFFER_SIZE, 0x5A);
        auto written = grfs_client::write_piece(peer.connection(), opened->obj_id, 0, stream, data);
        ASSERT_TRUE(written.ok()) << written.error().text;
        ASSERT_EQ(written->consumed, data.size());
        // The next write request: its NRL header announces the whole
        // message, a third of it arrives, and the peer closes.
        std::vector<unsigned char> cut(2000, 0x11);
        cut[0] = GRFS_WRITE_OBJ_LARGE;
        ASSERT_TRUE(peer.connection().send_nrl(0, cut, 6000).ok());
        shutdown(peer.connection().fd(), SHUT_RDWR);
        ExpectEndedInOrder(session);
    }
    const std::string path = agent().export_dir() + "/source.bin";
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, GRFS_OBJECT_BUFFER_SIZE);
    EXPECT_EQ(CountInStderr(agent(), "Restore of " + path + " incomplete"), 1u) << agent().Stderr().substr(0, 4000);
    // The block it was restored from does not verify against it.
    EXPECT_EQ(VerifyLater(*source), GRFS_RC_VERIFY_MISMATCH);
    ExpectRecovered();
}

TEST_F(PeerVanishes, BetweenCreateAndOpen) {
    std::optional<grfs_client::Dblk> source;
    {
        grfs_client::Peer peer = e2e::expect_peer(*agent_, "DATA", kReasonRestore);
        source = e2e::find_listed(peer, "", "source.bin");
        ASSERT_TRUE(source.has_value());
        const pid_t session = OnlySession();
        auto created = grfs_client::create_object(peer.connection(), peer.dle_id(), *source);
        ASSERT_TRUE(created.ok() && *created == 0);
        peer.connection().end();
        ExpectEndedInOrder(session);
    }
    // Created empty, never written: no open object to report, but the block
    // does not verify against what is there.
    struct stat st;
    ASSERT_EQ(stat((agent().export_dir() + "/source.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(VerifyLater(*source), GRFS_RC_VERIFY_MISMATCH);
    ExpectRecovered();
}

TEST_F(PeerVanishes, AfterTheLastWriteBeforeTheClose) {
    std::optional<grfs_client::Dblk> source;
    {
        grfs_client::Peer peer = e2e::expect_peer(*agent_, "DATA", kReasonRestore);
        source = e2e::find_listed(peer, "", "source.bin");
        ASSERT_TRUE(source.has_value());
        const pid_t session = OnlySession();
        ASSERT_TRUE(grfs_client::create_object(peer.connection(), peer.dle_id(), *source).ok());
        auto opened = grfs_client::open_object(peer.connection(), peer.dle_id(), *source, GRFS_OPEN_WRITE);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        GRFS_STREAM_INFO stream{};
        stream.id = kStreamStandard;
        stream.size = U64_Init(kSourceSize, 0);
        std::vector<unsigned char> data(GRFS_OBJECT_BUFFER_SIZE, 0x33);
        for (size_t done = 0; done < kSourceSize;) {
            const size_t n = std::min(data.size(), kSourceSize - done);
            auto w = grfs_client::write_piece(peer.connection(), opened->obj_id, done,
                                              done == 0 ? stream : GRFS_STREAM_INFO{},
                                              std::span<const unsigned char>(data.data(), n));
            ASSERT_TRUE(w.ok()) << w.error().text;
            done += w->consumed;
        }
        // Every byte is there, but neither the attributes nor the close.
        peer.connection().end();
        ExpectEndedInOrder(session);
    }
    const std::string path = agent().export_dir() + "/source.bin";
    EXPECT_EQ(CountInStderr(agent(), "Restore of " + path + " incomplete"), 1u) << agent().Stderr().substr(0, 4000);
    ExpectRecovered();
}

}  // namespace
