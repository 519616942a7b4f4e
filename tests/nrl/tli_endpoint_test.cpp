// Transport endpoints: record allocation, the bind port search, accepting
// with the connection's socket options, connecting, transfers and time-outs.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <vector>

#include "nrl/tli.h"
#include "nrl_test_support.h"

using namespace nrltest;

namespace {

// A bind request for dotted (port ignored), with the given backlog.
struct BindRequest {
    t_bind* rec;
    BindRequest(const char* dotted, uint32_t qlen) {
        rec = static_cast<t_bind*>(t_alloc_v(-1, T_BIND, T_ALL));
        sockaddr_in sin = Loopback(dotted, 0);
        std::memcpy(rec->addr.buf, &sin, sizeof sin);
        rec->addr.len = kTliAddrSize;
        rec->qlen = qlen;
    }
    ~BindRequest() { t_free_v(rec, T_BIND); }
};

// An endpoint bound on loopback with a backlog of 10, and a client
// connected to it that is not accepted yet.
void ListenWithClient(int& lfd, int& client) {
    tli_bind_port = kFirstBindPort;
    lfd = t_open_v("/dev/tcp", 2, nullptr);
    BindRequest req("127.0.0.1", 10);
    ASSERT_EQ(t_bind_v(lfd, req.rec, req.rec), 0);
    client = ConnectTo("127.0.0.1", LocalPort(lfd));
    ASSERT_GE(client, 0);
}

}  // namespace

TEST(TliAlloc, BindRecordWithAddressBuffer) {
    auto* b = static_cast<t_bind*>(t_alloc_v(-1, T_BIND, T_ALL));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->addr.maxlen, 16u);
    EXPECT_EQ(b->addr.len, 0u);
    EXPECT_EQ(b->qlen, 0u);
    ASSERT_NE(b->addr.buf, nullptr);
    for (size_t i = 0; i < kTliAddrSize; ++i) EXPECT_EQ(b->addr.buf[i], 0) << i;
    EXPECT_EQ(t_free_v(b, T_BIND), 0);
}

TEST(TliAlloc, CallRecordGetsAddressBufferOnly) {
    auto* c = static_cast<t_call*>(t_alloc_v(-1, T_CALL, T_ALL));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->addr.maxlen, 16u);
    EXPECT_NE(c->addr.buf, nullptr);
    EXPECT_EQ(c->opt.buf, nullptr);
    EXPECT_EQ(c->opt.maxlen, 0u);
    EXPECT_EQ(c->udata.buf, nullptr);
    EXPECT_EQ(c->udata.maxlen, 0u);
    EXPECT_EQ(c->sequence, 0);
    EXPECT_EQ(t_free_v(c, T_CALL), 0);

    // Without T_ADDR nothing but the record is allocated.
    auto* bare = static_cast<t_call*>(t_alloc_v(-1, T_CALL, 0));
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->addr.buf, nullptr);
    EXPECT_EQ(bare->addr.maxlen, 0u);
    EXPECT_EQ(t_free_v(bare, T_CALL), 0);
}

TEST(TliAlloc, UnsupportedTypeGivesNull) {
    EXPECT_EQ(t_alloc_v(-1, 2, T_ALL), nullptr);
    EXPECT_EQ(t_free_v(nullptr, T_BIND), 0);
}

TEST(TliInfo, MaxSendIs65535AndInfoIsZeroed) {
    t_info info{1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(t_getinfo_v(-1, &info), 0);
    EXPECT_EQ(info.tsdu, 0);
    EXPECT_EQ(info.servtype, 0);
    EXPECT_EQ(MaxTLISend(-1), 65535);
    EXPECT_STREQ(FindTLIDevice(), "/dev/tcp");
}

TEST(TliBind, PortSearchStartsAt8192AndSkipsOccupiedPorts) {
    tli_bind_port = kFirstBindPort;
    int a = t_open_v("/dev/tcp", 2, nullptr);
    ASSERT_GE(a, 0);
    BindRequest req_a("127.0.0.1", 10);
    ASSERT_EQ(t_bind_v(a, req_a.rec, req_a.rec), 0);
    const uint16_t port_a = PortOf(req_a.rec->addr.buf);
    EXPECT_GE(port_a, 8192);
    EXPECT_EQ(LocalPort(a), port_a);
    EXPECT_EQ(req_a.rec->addr.len, 16u);
    // The counter stays on the port that worked.
    EXPECT_EQ(tli_bind_port, port_a);

    // The next bind starts from the same port, finds it taken and moves on.
    int b = t_open_v("/dev/tcp", 2, nullptr);
    BindRequest req_b("127.0.0.1", 0);
    ASSERT_EQ(t_bind_v(b, req_b.rec, req_b.rec), 0);
    const uint16_t port_b = PortOf(req_b.rec->addr.buf);
    EXPECT_GT(port_b, port_a);
    EXPECT_EQ(tli_bind_port, port_b);

    // qlen 10 listens, qlen 0 does not.
    int client = ConnectTo("127.0.0.1", port_a);
    EXPECT_GE(client, 0);
    if (client >= 0) close(client);
    EXPECT_EQ(ConnectTo("127.0.0.1", port_b), -1);

    t_close_v(a);
    t_close_v(b);
}

TEST(TliBind, CounterPastLastPortLetsTheSystemChoose) {
    tli_bind_port = 65536;
    int fd = t_open_v("/dev/tcp", 2, nullptr);
    BindRequest req("127.0.0.1", 0);
    ASSERT_EQ(t_bind_v(fd, req.rec, req.rec), 0);
    EXPECT_NE(LocalPort(fd), 0);
    EXPECT_EQ(PortOf(req.rec->addr.buf), LocalPort(fd));
    EXPECT_EQ(tli_bind_port, 65536u);
    t_close_v(fd);
    tli_bind_port = kFirstBindPort;
}

TEST(TliBind, EmptyRequestBindsToLocalHostAddress) {
    gethostname(uw_local_host_name, sizeof uw_local_host_name);
    uint32_t expected = 0;
    if (!LookupHostIPv4(uw_local_host_name, &expected)) GTEST_SKIP() << "host name does not resolve";
    tli_bind_port = kFirstBindPort;
    int fd = t_open_v("/dev/tcp", 2, nullptr);
    t_bind empty{};
    ASSERT_EQ(t_bind_v(fd, &empty, nullptr), 0);
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    EXPECT_EQ(sin.sin_addr.s_addr, expected);
    EXPECT_GE(ntohs(sin.sin_port), 8192);
    t_close_v(fd);
}

TEST(TliAccept, SetsConnectionOptionsAndFillsCall) {
    int lfd = -1, client = -1;
    ASSERT_NO_FATAL_FAILURE(ListenWithClient(lfd, client));
    ASSERT_EQ(t_listen_v(lfd), 0);

    auto* call = static_cast<t_call*>(t_alloc_v(lfd, T_CALL, T_ADDR));
    int fd = t_open_and_accept_v(lfd, call);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(call->sequence, fd);
    EXPECT_EQ(call->addr.len, 16u);
    sockaddr_in peer{};
    std::memcpy(&peer, call->addr.buf, sizeof peer);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(peer.sin_port), LocalPort(client));

    int value = 0;
    socklen_t len = sizeof value;
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &len);
    EXPECT_NE(value, 0);
    getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &len);
    EXPECT_NE(value, 0);
    linger lg{};
    len = sizeof lg;
    getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &len);
    EXPECT_EQ(lg.l_onoff, 1);
    EXPECT_EQ(lg.l_linger, 6000);
    // The buffers keep the kernel's sizes, as those of the connecting end.
    for (int name : {SO_SNDBUF, SO_RCVBUF}) {
        int mine = 0, peer = 0;
        len = sizeof mine;
        getsockopt(fd, SOL_SOCKET, name, &mine, &len);
        len = sizeof peer;
        getsockopt(client, SOL_SOCKET, name, &peer, &len);
        EXPECT_EQ(mine, peer) << (name == SO_SNDBUF ? "SO_SNDBUF" : "SO_RCVBUF");
    }

    // Linger must not hold the close of an idle connection.
    close(client);
    t_close_v(fd);
    t_free_v(call, T_CALL);
    t_close_v(lfd);
}

TEST(TliAccept, CloseAtOnceDoesNotWaitForAPeerThatTakesNothing) {
    int lfd = -1, client = -1;
    ASSERT_NO_FATAL_FAILURE(ListenWithClient(lfd, client));
    int fd = t_open_and_accept_v(lfd, nullptr);
    ASSERT_GE(fd, 0);
    // Fill what the peer will take; the rest stays unsent, which the
    // lingering close of an accepted connection would wait for.
    ASSERT_EQ(SetEndpointNonBlocking(fd, true), 0);
    std::vector<unsigned char> chunk(65536);
    pollfd room{fd, POLLOUT, 0};
    do {
        while (t_snd_v(fd, chunk.data(), static_cast<unsigned>(chunk.size()), 0) > 0) {
        }
        ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    } while (poll(&room, 1, 200) == 1);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CloseEndpointAtOnce(fd), 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
    close(client);
    t_close_v(lfd);
}

TEST(TliConnect, ConnectsAndReportsRefusalAsOne) {
    int lfd = ListenOn("127.0.0.1", 0);
    ASSERT_GE(lfd, 0);
    const uint16_t port = LocalPort(lfd);
    auto* call = static_cast<t_call*>(t_alloc_v(-1, T_CALL, T_ADDR));
    sockaddr_in sin = Loopback("127.0.0.1", port);
    std::memcpy(call->addr.buf, &sin, sizeof sin);
    call->addr.len = sizeof sin;

    int fd = t_open_v("/dev/tcp", 2, nullptr);
    EXPECT_EQ(t_connect_v(fd, call, nullptr), 0);
    t_close_v(fd);

    close(lfd);  // nothing listens there now
    fd = t_open_v("/dev/tcp", 2, nullptr);
    EXPECT_EQ(t_connect_v(fd, call, nullptr), 1);
    t_close_v(fd);
    t_free_v(call, T_CALL);
}

// A listener whose backlog is full drops further connection requests, so a
// connect to it hangs until the alarm interrupts it.
TEST(TliConnect, GivesUpAfterTenSeconds) {
    int lfd = ListenOn("127.0.0.1", 0);
    ASSERT_GE(lfd, 0);
    listen(lfd, 0);
    const uint16_t port = LocalPort(lfd);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int f = socket(AF_INET, SOCK_STREAM, 0);
        fcntl(f, F_SETFL, O_NONBLOCK);
        sockaddr_in sin = Loopback("127.0.0.1", port);
        connect(f, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
        fillers.push_back(f);
    }
    usleep(200 * 1000);

    auto* call = static_cast<t_call*>(t_alloc_v(-1, T_CALL, T_ADDR));
    sockaddr_in sin = Loopback("127.0.0.1", port);
    std::memcpy(call->addr.buf, &sin, sizeof sin);
    call->addr.len = sizeof sin;
    int fd = t_open_v("/dev/tcp", 2, nullptr);
    auto start = std::chrono::steady_clock::now();
    int rc = t_connect_v(fd, call, nullptr);
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    t_close_v(fd);
    t_free_v(call, T_CALL);
    for (int f : fillers) close(f);
    close(lfd);
    if (rc == 0) GTEST_SKIP() << "this kernel accepted past a full backlog";
    EXPECT_EQ(rc, 1);
    EXPECT_GE(seconds, 9.0);
    EXPECT_LT(seconds, 30.0);
}

TEST(TliTransfer, ShortPeerLeavesBytesUnreceived) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(write(sv[1], "ab", 2), 2);
    close(sv[1]);
    unsigned char buf[4];
    EXPECT_EQ(loop_t_rcv(sv[0], buf, 4), 2u);
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(buf[1], 'b');
    close(sv[0]);
}

TEST(TliTransfer, SendsInPiecesOfTheLargestSize) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::vector<unsigned char> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    EXPECT_EQ(loop_t_snd(sv[0], data.data(), 1000, 7), 0u);
    close(sv[0]);
    EXPECT_EQ(ReadAll(sv[1]), data);
    close(sv[1]);
}

TEST(TliTransfer, SendToClosedPeerFailsWithoutSignal) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    // SIGPIPE keeps its default action: raising it would end this process.
    unsigned char data[100] = {};
    EXPECT_EQ(t_snd_v(sv[0], data, sizeof data, 0), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(loop_t_snd(sv[0], data, sizeof data, 65535), 100u);
    close(sv[0]);
}

TEST(TliTransfer, ReadinessWaitTimesOut) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    gb_nrl_timeout = 1;
    unsigned char buf[4];
    auto start = std::chrono::steady_clock::now();
    int rc = t_rcv_v(sv[0], buf, sizeof buf);
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(rc, -1);
    EXPECT_GE(seconds, 0.9);
    // Data that is there arrives at once.
    ASSERT_EQ(write(sv[1], "xyz", 3), 3);
    EXPECT_EQ(t_rcv_v(sv[0], buf, sizeof buf), 3);
    gb_nrl_timeout = 0;
    close(sv[0]);
    close(sv[1]);
}

TEST(TliTransfer, PeerClosingIsEndOfData) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    unsigned char buf[4];
    EXPECT_EQ(t_rcv_v(sv[0], buf, sizeof buf), 0);
    close(sv[0]);
}
