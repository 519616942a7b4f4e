// Framing of NRL messages on a session, receive outcomes, deallocation, use
// counting and the killing of sessions. The session's peer is the other end
// of a socket pair; the test writes and reads the raw wire bytes there.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <thread>
#include <vector>

#include "nrl/nrl.h"
#include "nrl/nrl_debug.h"
#include "nrl/nrl_session.h"
#include "nrl/nrl_trace.h"
#include "nrl/tli.h"
#include "nrl_test_support.h"
#include "util/alloc.h"
#include "util/splice_pipe.h"

using namespace nrltest;

namespace {

struct Completion {
    int calls = 0;
    NRL_SESSION* session = nullptr;
    uint16_t status = 0xEEEE;
    uint16_t length = 0xEEEE;
    std::vector<unsigned char> data;
};
Completion completion;

void record_completion(NRL_SESSION* session, uint16_t status, unsigned char* buffer, uint16_t length) {
    ++completion.calls;
    completion.session = session;
    completion.status = status;
    completion.length = length;
    completion.data.assign(buffer, buffer + length);
}

std::vector<std::pair<NRL_SESSION*, uint16_t>> deallocs;
void record_dealloc(NRL_SESSION* session, uint16_t reason) { deallocs.emplace_back(session, reason); }

class NrlSession : public ::testing::Test {
protected:
    NRL_RESOURCE resource{};
    NRL_SESSION* session = nullptr;
    int peer = -1;

    void SetUp() override {
        completion = Completion{};
        deallocs.clear();
        InitQueue(&uw_nrl_state.local_resources);
        InitQueue(&uw_nrl_state.remote_resources);
        InitQueue(&resource.sessions);
        EnQueueElem(&uw_nrl_state.local_resources, &resource.link, 0);
        session = NewSession(&peer);
    }

    // A session linked to the resource, as the listener makes it.
    NRL_SESSION* NewSession(int* peer_fd) {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        auto* s = static_cast<NRL_SESSION*>(MYCALLOC(1, NRLSessionSize()));
        s->resource = &resource;
        s->tlifd = sv[0];
        s->max_tsnd = static_cast<uint32_t>(MaxTLISend(sv[0]));
        s->dealloc_notify = record_dealloc;
        EnQueueElem(&resource.sessions, &s->link, 0);
        *peer_fd = sv[1];
        return s;
    }

    void TearDown() override {
        while (resource.sessions.head != nullptr) KillSession(QueueHead<NRL_SESSION>(resource.sessions));
        RemoveQueueElem(&uw_nrl_state.local_resources, &resource.link);
        if (peer >= 0) close(peer);
    }

    void PeerWrite(const std::vector<unsigned char>& bytes) {
        ASSERT_EQ(write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the session sent, read without waiting for it to close.
    std::vector<unsigned char> PeerRead(size_t n) {
        std::vector<unsigned char> out(n);
        size_t got = 0;
        while (got < n && Readable(peer, 2000)) {
            ssize_t r = read(peer, out.data() + got, n - got);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return out;
    }

    bool SessionClosed() {
        // The peer sees the end of the connection once the session is killed.
        unsigned char b;
        return Readable(peer, 2000) && read(peer, &b, 1) == 0;
    }
};

std::vector<unsigned char> Pattern(size_t n) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>('A' + i % 26);
    return v;
}

}  // namespace

TEST(MsgHdr, WireFormIsTypeReservedSizeLittleEndian) {
    unsigned char out[4];
    EncodeMsgHdr(msg_hdr{NRL_DATA, 0, 0x1234}, out);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 4), Bytes({0x00, 0x00, 0x34, 0x12}));
    const unsigned char in[4] = {0x01, 0x7F, 0x05, 0x00};
    msg_hdr h = DecodeMsgHdr(in);
    EXPECT_EQ(h.type, NRL_DEALLOC);
    EXPECT_EQ(h.reserved, 0x7F);
    EXPECT_EQ(h.size, 5);
}

TEST(SessionOpen, ReplyIsStatusThenReplyData) {
    unsigned char out[kSessionOpenReplySize];
    std::memset(out, 0xAA, sizeof out);
    BuildSessionOpenReply(0, nullptr, out);
    std::vector<unsigned char> accepted(514, 0);
    EXPECT_EQ(std::vector<unsigned char>(out, out + sizeof out), accepted);

    BuildSessionOpenReply(1, nullptr, out);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0x00);
    for (size_t i = 2; i < sizeof out; ++i) ASSERT_EQ(out[i], 0) << i;

    unsigned char data[kAllocDataSize];
    for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<unsigned char>(i);
    BuildSessionOpenReply(0x10203, data, out);  // only the low 16 bits travel
    EXPECT_EQ(out[0], 0x03);
    EXPECT_EQ(out[1], 0x02);
    EXPECT_EQ(std::memcmp(out + 2, data, sizeof data), 0);
    EXPECT_EQ(kSessionOpenRequestSize, 513u);
}

TEST_F(NrlSession, DataMessageOf100BytesGoesOutAs104) {
    auto data = Pattern(100);
    EXPECT_EQ(NRLSendMessage(session, 0, data.data(), 100, nullptr), NRL_SUCCESS);
    auto expected = Bytes({0x00, 0x00, 0x64, 0x00});
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(PeerRead(200), expected);
    EXPECT_EQ(session->use_cnt, 0);
    EXPECT_EQ(session->sndbuf_size, 104);
}

TEST_F(NrlSession, SendBufferOnlyGrows) {
    auto big = Pattern(3000);
    ASSERT_EQ(NRLSendMessage(session, 0, big.data(), 3000, nullptr), NRL_SUCCESS);
    unsigned char* buf = session->sndbuf;
    auto small = Pattern(10);
    ASSERT_EQ(NRLSendMessage(session, 0, small.data(), 10, nullptr), NRL_SUCCESS);
    EXPECT_EQ(session->sndbuf, buf);
    EXPECT_EQ(session->sndbuf_size, 3004);
    auto got = PeerRead(3004 + 14);
    ASSERT_EQ(got.size(), 3018u);
    EXPECT_EQ(std::vector<unsigned char>(got.begin() + 3004, got.begin() + 3008), Bytes({0, 0, 10, 0}));
    EXPECT_EQ(std::vector<unsigned char>(got.begin() + 3008, got.end()), small);
}

TEST_F(NrlSession, MessageBuiltInTheSendBufferIsSentInPlace) {
    unsigned char* area = NRLSendBuffer(session, 300);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area, session->sndbuf + 4);
    auto data = Pattern(300);
    std::memcpy(area, data.data(), data.size());
    ASSERT_EQ(NRLSendMessage(session, 0, area, 300, nullptr), NRL_SUCCESS);
    EXPECT_EQ(session->sndbuf + 4, area);
    auto expected = Bytes({0x00, 0x00, 0x2C, 0x01});
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(PeerRead(400), expected);

    // A message longer than the prepared area still goes out whole.
    area = NRLSendBuffer(session, 10);
    std::memcpy(area, data.data(), 10);
    EXPECT_EQ(NRLSendMessage(session, 0, area, 10, nullptr), NRL_SUCCESS);
    EXPECT_EQ(PeerRead(14).size(), 14u);
}

TEST_F(NrlSession, LargeMessageTravelsInPieces) {
    session->max_tsnd = 1000;
    auto data = Pattern(kMaxNrlData);
    ASSERT_EQ(NRLSendMessage(session, 0, data.data(), kMaxNrlData, nullptr), NRL_SUCCESS);
    auto got = PeerRead(kMaxNrlData + 4);
    ASSERT_EQ(got.size(), 65535u);
    EXPECT_EQ(std::vector<unsigned char>(got.begin(), got.begin() + 4), Bytes({0, 0, 0xFB, 0xFF}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin() + 4));
}

TEST_F(NrlSession, DataBeyondThe16BitBufferIsRefused) {
    std::vector<unsigned char> data(65535);
    EXPECT_EQ(NRLSendMessage(session, 0, data.data(), 65535, nullptr), INVALID_PARAM);
    EXPECT_EQ(session->use_cnt, 0);
}

TEST_F(NrlSession, EmptySendIsInvalidWithoutUsingTheSession) {
    unsigned char byte = 0;
    EXPECT_EQ(NRLSendMessage(session, 0, &byte, 0, nullptr), INVALID_PARAM);
    EXPECT_EQ(session->use_cnt, 0);
    EXPECT_EQ(session->sndbuf, nullptr);
}

TEST_F(NrlSession, ReceivesADataMessage) {
    auto data = Pattern(20);
    auto wire = Bytes({0x00, 0x99, 20, 0x00});
    wire.insert(wire.end(), data.begin(), data.end());
    PeerWrite(wire);
    unsigned char buf[512];
    EXPECT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.session, session);
    EXPECT_EQ(completion.status, 0);
    EXPECT_EQ(completion.length, 20);
    EXPECT_EQ(completion.data, data);
    EXPECT_EQ(ValidateSession(session), session);
    EXPECT_EQ(session->use_cnt, 0);
    EXPECT_TRUE(deallocs.empty());
}

// A data message: header and bytes.
std::vector<unsigned char> DataMessage(const std::vector<unsigned char>& data) {
    auto wire = Bytes({0x00, 0x00, static_cast<int>(data.size() & 0xFF), static_cast<int>(data.size() >> 8)});
    wire.insert(wire.end(), data.begin(), data.end());
    return wire;
}

TEST_F(NrlSession, MessagesSentBackToBackAreReceivedOneByOne) {
    // A peer that does not wait for replies: three messages in one write,
    // the second longer than the first, then a deallocation.
    auto a = Pattern(10), b = Pattern(300), c = Pattern(1);
    auto wire = DataMessage(a);
    for (const auto& m : {DataMessage(b), DataMessage(c), Bytes({0x01, 0x00, 0x07, 0x00})})
        wire.insert(wire.end(), m.begin(), m.end());
    PeerWrite(wire);
    unsigned char buf[512];
    for (const auto* expected : {&a, &b, &c}) {
        completion = Completion{};
        ASSERT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
        EXPECT_EQ(completion.status, 0);
        EXPECT_EQ(completion.data, *expected);
        EXPECT_EQ(ValidateSession(session), session);
    }
    completion = Completion{};
    ASSERT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    EXPECT_EQ(completion.status, 7);
    EXPECT_EQ(ValidateSession(session), nullptr);
}

TEST_F(NrlSession, NextMessageSplitBetweenTwoReceivesIntoASmallBuffer) {
    // The first read fills the small buffer with the first message and the
    // head of the second; the second receive starts from those bytes.
    auto a = Pattern(10), b = Pattern(12);
    auto wire = DataMessage(a);
    auto second = DataMessage(b);
    wire.insert(wire.end(), second.begin(), second.end());
    PeerWrite(wire);
    unsigned char buf[16];
    ASSERT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    EXPECT_EQ(completion.data, a);
    completion = Completion{};
    ASSERT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    EXPECT_EQ(completion.status, 0);
    EXPECT_EQ(completion.data, b);
    EXPECT_EQ(session->rcv_carry_len, 0u);
}

TEST_F(NrlSession, MessageTricklingInByteByByteArrivesWhole) {
    auto data = Pattern(40);
    auto wire = DataMessage(data);
    std::thread writer([&] {
        for (unsigned char byte : wire) {
            ASSERT_EQ(write(peer, &byte, 1), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    unsigned char buf[64];
    EXPECT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    writer.join();
    EXPECT_EQ(completion.status, 0);
    EXPECT_EQ(completion.data, data);
}

TEST_F(NrlSession, InsertedBytesTravelInsideTheMessage) {
    // 10 bytes of data with a 4-byte hole at offset 3 that the insert fills.
    auto data = Pattern(10);
    const unsigned char insert[4] = {'w', 'x', 'y', 'z'};
    ASSERT_EQ(NRLSendMessageInsert(session, data.data(), 10, insert, 3, 4), NRL_SUCCESS);
    auto expected = Bytes({0x00, 0x00, 10, 0x00, 'A', 'B', 'C', 'w', 'x', 'y', 'z', 'H', 'I', 'J'});
    EXPECT_EQ(PeerRead(64), expected);
    EXPECT_EQ(session->use_cnt, 0);
    EXPECT_EQ(session->sndbuf, nullptr);  // the layer copied nothing

    // At the end, and empty.
    ASSERT_EQ(NRLSendMessageInsert(session, data.data(), 10, insert, 6, 4), NRL_SUCCESS);
    EXPECT_EQ(PeerRead(14), Bytes({0x00, 0x00, 10, 0x00, 'A', 'B', 'C', 'D', 'E', 'F', 'w', 'x', 'y', 'z'}));
    ASSERT_EQ(NRLSendMessageInsert(session, data.data(), 2, nullptr, 0, 0), NRL_SUCCESS);
    EXPECT_EQ(PeerRead(6), Bytes({0x00, 0x00, 2, 0x00, 'A', 'B'}));

    // A large message goes out whole.
    auto big = Pattern(kMaxNrlData);
    auto bulk = Pattern(30000);
    ASSERT_EQ(NRLSendMessageInsert(session, big.data(), kMaxNrlData, bulk.data(), 100, 30000), NRL_SUCCESS);
    auto got = PeerRead(kMaxNrlData + 4);
    ASSERT_EQ(got.size(), 65535u);
    EXPECT_TRUE(std::equal(big.begin(), big.begin() + 100, got.begin() + 4));
    EXPECT_TRUE(std::equal(bulk.begin(), bulk.end(), got.begin() + 104));
    EXPECT_TRUE(std::equal(big.begin() + 30100, big.end(), got.begin() + 30104));
}

TEST_F(NrlSession, InsertOutsideTheMessageIsRefused) {
    auto data = Pattern(10);
    const unsigned char insert[4] = {};
    EXPECT_EQ(NRLSendMessageInsert(session, data.data(), 10, insert, 7, 4), INVALID_PARAM);
    EXPECT_EQ(NRLSendMessageInsert(session, data.data(), 0, insert, 0, 0), INVALID_PARAM);
    EXPECT_EQ(NRLSendMessageInsert(session, data.data(), 10, nullptr, 0, 4), INVALID_PARAM);
    EXPECT_EQ(session->use_cnt, 0);
    close(peer);
    peer = -1;
    EXPECT_EQ(NRLSendMessageInsert(session, data.data(), 10, insert, 0, 4), COMM_FAILURE);
    EXPECT_EQ(ValidateSession(session), session);
}

TEST_F(NrlSession, PipedBytesFollowTheHeadAndAVanishedPeerFailsTheSendWithoutASignal) {
    SplicePipe pipe;
    ASSERT_TRUE(pipe.Open());
    // Bytes reach the pipe the way file data does: spliced in.
    auto bulk = Pattern(30000);
    char path[] = "/tmp/nrl-splice-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    ASSERT_EQ(write(file, bulk.data(), bulk.size()), static_cast<ssize_t>(bulk.size()));
    ASSERT_EQ(lseek(file, 0, SEEK_SET), 0);
    ASSERT_EQ(pipe.FillFrom(file, bulk.size()), static_cast<ssize_t>(bulk.size()));

    auto head = Pattern(24);
    ASSERT_EQ(NRLSendMessageSpliced(session, head.data(), 24, pipe.read_end(), 20000), NRL_SUCCESS);
    auto got = PeerRead(4 + 24 + 20000);
    ASSERT_EQ(got.size(), 4u + 24u + 20000u);
    EXPECT_EQ(std::vector<unsigned char>(got.begin(), got.begin() + 4), Bytes({0x00, 0x00, 0x38, 0x4E}));  // 20024
    EXPECT_TRUE(std::equal(head.begin(), head.end(), got.begin() + 4));
    EXPECT_TRUE(std::equal(bulk.begin(), bulk.begin() + 20000, got.begin() + 28));
    EXPECT_EQ(pipe.Held(), 10000u);  // the rest waits for the next message
    EXPECT_EQ(session->use_cnt, 0);

    // The peer is gone: the send fails and the process lives on, also when
    // it is the spliced part that meets the closed connection.
    close(peer);
    peer = -1;
    EXPECT_EQ(loop_t_splice(session->tlifd, pipe.read_end(), 10000), 10000u);
    EXPECT_EQ(NRLSendMessageSpliced(session, head.data(), 24, pipe.read_end(), 10000), COMM_FAILURE);
    EXPECT_EQ(ValidateSession(session), session);
    close(file);
}

TEST_F(NrlSession, TruncatedMessageDelivers512BytesAndKillsTheSession) {
    auto data = Pattern(600);
    auto wire = Bytes({0x00, 0x00, 0x58, 0x02});
    wire.insert(wire.end(), data.begin(), data.end());
    PeerWrite(wire);
    unsigned char buf[512];
    EXPECT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    EXPECT_EQ(completion.status, MSG_TRUNCATED);
    EXPECT_EQ(completion.length, 512);
    EXPECT_EQ(completion.data, std::vector<unsigned char>(data.begin(), data.begin() + 512));
    EXPECT_EQ(ValidateSession(session), nullptr);
    ASSERT_EQ(deallocs.size(), 1u);
    EXPECT_EQ(deallocs[0].second, 0);
    EXPECT_EQ(resource.sessions.count, 0);
}

TEST_F(NrlSession, DeallocWithReasonFiveArrivesAsStatusFive) {
    PeerWrite(Bytes({0x01, 0x00, 0x05, 0x00}));
    unsigned char buf[64];
    EXPECT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    EXPECT_EQ(completion.status, 5);
    EXPECT_EQ(completion.length, 0);
    EXPECT_EQ(ValidateSession(session), nullptr);
    EXPECT_EQ(deallocs.size(), 1u);
    EXPECT_TRUE(SessionClosed());
}

TEST_F(NrlSession, DeallocWithReasonZeroArrivesAsDeadSession) {
    PeerWrite(Bytes({0x01, 0x00, 0x00, 0x00}));
    unsigned char buf[64];
    EXPECT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    EXPECT_EQ(completion.status, DEAD_SESSION);
    EXPECT_EQ(ValidateSession(session), nullptr);
}

TEST_F(NrlSession, PeerClosingEarlyIsCommFailure) {
    PeerWrite(Bytes({0x00, 0x00, 0x64, 0x00, 'a', 'b', 'c'}));  // 100 announced, 3 sent
    close(peer);
    peer = -1;
    unsigned char buf[512];
    EXPECT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    EXPECT_EQ(completion.status, COMM_FAILURE);
    EXPECT_EQ(completion.length, 0);
    EXPECT_EQ(ValidateSession(session), nullptr);
    EXPECT_EQ(deallocs.size(), 1u);
    // The session is gone; a further receive finds it invalid.
    completion = Completion{};
    EXPECT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), INVALID_PARAM);
    EXPECT_EQ(completion.calls, 0);
}

TEST_F(NrlSession, PeerClosingInsideTheHeaderIsCommFailure) {
    PeerWrite(Bytes({0x00, 0x00}));
    close(peer);
    peer = -1;
    unsigned char buf[16];
    EXPECT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    EXPECT_EQ(completion.status, COMM_FAILURE);
    EXPECT_EQ(completion.length, 0);
    EXPECT_EQ(ValidateSession(session), nullptr);
}

TEST_F(NrlSession, AdvertiseAndAbortTypesArriveEmpty) {
    PeerWrite(Bytes({0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}));
    unsigned char buf[16];
    EXPECT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    EXPECT_EQ(completion.status, 0);
    EXPECT_EQ(completion.length, 0);
    EXPECT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion), NRL_SUCCESS);
    EXPECT_EQ(completion.calls, 2);
    EXPECT_EQ(completion.status, 0);
    EXPECT_EQ(ValidateSession(session), session);
}

TEST_F(NrlSession, ReceiveWithoutCompletionRoutine) {
    PeerWrite(Bytes({0x00, 0x00, 0x02, 0x00, 'h', 'i'}));
    unsigned char buf[16] = {};
    EXPECT_EQ(NRLReceiveMessage(session, buf, sizeof buf, 0, nullptr), NRL_SUCCESS);
    EXPECT_EQ(buf[0], 'h');
    EXPECT_EQ(buf[1], 'i');
}

TEST_F(NrlSession, DeAllocSendsReasonAndKillsTheSession) {
    EXPECT_EQ(NRLDeAllocSession(session, 5), NRL_SUCCESS);
    EXPECT_EQ(PeerRead(4), Bytes({0x01, 0x00, 0x05, 0x00}));
    EXPECT_TRUE(SessionClosed());
    EXPECT_EQ(deallocs.size(), 1u);
    EXPECT_EQ(NRLDeAllocSession(session, 5), INVALID_SESSION);
}

TEST_F(NrlSession, SendToClosedPeerFailsAndTheProcessLives) {
    close(peer);
    peer = -1;
    // SIGPIPE keeps its default action here: the send must not raise it.
    auto data = Pattern(200);
    EXPECT_EQ(NRLSendMessage(session, 0, data.data(), 200, nullptr), COMM_FAILURE);
    // The session stays alive; the user decides.
    EXPECT_EQ(ValidateSession(session), session);
    EXPECT_EQ(session->use_cnt, 0);
    EXPECT_TRUE(deallocs.empty());
}

TEST_F(NrlSession, AbortTypeReportsDeadSessionAfterSending) {
    auto data = Pattern(3);
    EXPECT_EQ(NRLMessageSender(session, NRL_ABORT, data.data(), 3), DEAD_SESSION);
    EXPECT_EQ(PeerRead(7), Bytes({0x03, 0x00, 0x03, 0x00, 'A', 'B', 'C'}));
}

TEST_F(NrlSession, UseCountingAndValidation) {
    EXPECT_EQ(UseSession(session, "test"), 1);
    EXPECT_EQ(UseSession(session, "test"), 1);
    EXPECT_EQ(session->use_cnt, 2);
    ReleaseSession(session, "test");
    ReleaseSession(session, "test");
    ReleaseSession(session, "test");
    EXPECT_EQ(session->use_cnt, -1);
    session->use_cnt = 0;

    NRL_SESSION stranger{};
    EXPECT_EQ(ValidateSession(&stranger), nullptr);
    EXPECT_EQ(UseSession(&stranger, "test"), 0);
    EXPECT_EQ(Id2Session(session->tlifd), session);
    EXPECT_EQ(Id2Session(-5), nullptr);

    session->dying = 1;
    EXPECT_EQ(UseSession(session, "test"), 0);
    session->dying = 0;
}

TEST_F(NrlSession, ApplicationPointerIsStoredOnlyOnUsableSessions) {
    int marker = 0;
    NRLSetSessionApplicationPtr(session, &marker);
    EXPECT_EQ(NRLGetSessionApplicationPtr(session), &marker);
    EXPECT_EQ(session->use_cnt, 0);
    NRL_SESSION stranger{};
    NRLSetSessionApplicationPtr(&stranger, &marker);
    EXPECT_EQ(stranger.app_ptr, nullptr);
}

TEST_F(NrlSession, KillSessionOfADyingSessionLeavesItAlone) {
    session->dying = 1;
    KillSession(session);
    EXPECT_EQ(ValidateSession(session), session);
    EXPECT_TRUE(deallocs.empty());
    session->dying = 0;
}

TEST_F(NrlSession, KillSessionClosesNotifiesAndUnlinks) {
    int other_peer = -1;
    NRL_SESSION* other = NewSession(&other_peer);
    EXPECT_EQ(resource.sessions.count, 2);
    KillSession(session);
    EXPECT_EQ(resource.sessions.count, 1);
    ASSERT_EQ(deallocs.size(), 1u);
    EXPECT_EQ(deallocs[0].first, session);
    EXPECT_EQ(deallocs[0].second, 0);
    EXPECT_TRUE(SessionClosed());
    EXPECT_EQ(ValidateSession(other), other);
    KillSession(other);
    close(other_peer);
}

TEST_F(NrlSession, DiscardedCopyIsFreedWithoutNoticeOrClose) {
    const int fd = session->tlifd;
    NRLDiscardSessionCopy(session);
    EXPECT_EQ(resource.sessions.count, 0);
    EXPECT_TRUE(deallocs.empty());
    // The descriptor is the caller's to close.
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    close(fd);
}

TEST(NrlTrace, ProcessForkedInTheMiddleOfALineBeginsItsOwnLine) {
    testing::internal::CaptureStderr();
    nrl_debug_flag = 1;
    NRL_TRACE("{Use.");
    const pid_t child = fork();
    if (child == 0) {
        NRL_TRACE("child line\n");
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    NRL_TRACE("..SendMsg}\n");
    nrl_debug_flag = 0;
    std::string out = testing::internal::GetCapturedStderr();
    const std::string me = std::to_string(getpid());
    // The parent's piece waits for the end of its line; nothing runs on from it.
    EXPECT_EQ(out, std::to_string(child) + ": child line\n" + me + ": {Use...SendMsg}\n");
}

TEST_F(NrlSession, TraceLinesBeginWithTheProcessId) {
    PeerWrite(Bytes({0x00, 0x00, 0x03, 0x00, 'a', 'b', 'c'}));
    testing::internal::CaptureStderr();
    nrl_debug_flag = 1;
    unsigned char buf[16];
    NRLReceiveMessage(session, buf, sizeof buf, 0, record_completion);
    NRLSendMessage(session, 0, "xyz", 3, nullptr);
    NRLDeAllocSession(session, 0);
    nrl_debug_flag = 0;
    std::string out = testing::internal::GetCapturedStderr();
    const std::string prefix = std::to_string(getpid()) + ": ";
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    size_t lines = 0;
    for (size_t start = 0; start < out.size(); start = out.find('\n', start) + 1) {
        EXPECT_EQ(out.compare(start, prefix.size(), prefix), 0) << out.substr(start, 60);
        ++lines;
    }
    EXPECT_GT(lines, 5u);
    EXPECT_NE(out.find(prefix + "Rcv {Use...RcvMsg}waiting for msg on "), std::string::npos) << out;
    EXPECT_NE(out.find("msg after t_rcv_v = <abc       >\n"), std::string::npos) << out;
    EXPECT_NE(out.find("NRLSendMessage: data_size=3\n"), std::string::npos);
    EXPECT_NE(out.find("        session->max_tsnd=65535\n"), std::string::npos);
    EXPECT_NE(out.find("KillSession="), std::string::npos);
}
