// The bytes the peer puts on the wire and how it meets a peer that
// refuses, closes early, falls silent or ends the session.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <vector>

#include "client/connection.h"
#include "client/nrl_framing.h"
#include "client/requests.h"
#include "fake_agent.h"

using namespace grfs_client;

namespace {

Endpoint local(uint16_t port) { return Endpoint{"127.0.0.1", port}; }

void accept_session(int fd) {
    unsigned char request[513];
    ASSERT_TRUE(fake::read_exact(fd, request, sizeof request));
    unsigned char reply[514] = {};
    ASSERT_TRUE(fake::write_all(fd, reply, sizeof reply));
}

}  // namespace

TEST(NrlFraming, SessionOpenRequestIsTypeByteAndZeroAllocationData) {
    const auto bytes = session_open_request();
    ASSERT_EQ(bytes.size(), 513u);
    EXPECT_EQ(bytes[0], 0x00);
    for (size_t i = 1; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], 0x00) << i;
}

TEST(NrlFraming, HeadersAreTypeZeroAndLittleEndianSize) {
    unsigned char h[4];
    put_nrl_header(h, NRL_DATA, 100);
    EXPECT_EQ(std::vector<unsigned char>(h, h + 4), (std::vector<unsigned char>{0x00, 0x00, 0x64, 0x00}));
    put_nrl_header(h, NRL_DEALLOC, 5);
    EXPECT_EQ(std::vector<unsigned char>(h, h + 4), (std::vector<unsigned char>{0x01, 0x00, 0x05, 0x00}));
    put_nrl_header(h, NRL_DATA, 0x1234);
    const NrlHeader parsed = parse_nrl_header(h);
    EXPECT_EQ(parsed.type, NRL_DATA);
    EXPECT_EQ(parsed.size, 0x1234);

    std::array<unsigned char, 514> reply{};
    reply[0] = 0x01;
    reply[2] = 0xAB;
    const SessionOpenReply r = parse_session_open_reply(reply);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.data[0], 0xAB);
}

TEST(Connection, SendsTheOpenExchangeAndOneDataMessagePerRequest) {
    fake::FakeAgent agent;
    std::vector<unsigned char> open_request(513), message(4 + 39);
    agent.serve_raw([&](int fd) {
        ASSERT_TRUE(fake::read_exact(fd, open_request.data(), open_request.size()));
        unsigned char reply[514] = {};
        ASSERT_TRUE(fake::write_all(fd, reply, sizeof reply));
        ASSERT_TRUE(fake::read_exact(fd, message.data(), message.size()));
        // GRFS_VERIFY_OBJ_STAT for request 1, size 3, blk_size 1.
        const unsigned char answer[] = {0x00, 0x00, 0x0C, 0x00, 77, 0, 0, 0, 1, 0, 0, 0, 3, 0, 1, 0};
        ASSERT_TRUE(fake::write_all(fd, answer, sizeof answer));
    });
    auto c = Connection::open(local(agent.port()));
    ASSERT_TRUE(c.ok()) << c.error().text;
    ASSERT_TRUE(verify_echo(*c, 3).ok());
    agent.wait();

    EXPECT_EQ(open_request, std::vector<unsigned char>(513, 0));
    // NRL data header (39 bytes follow), GRFS header (type 13, request 1),
    // obj_id, offset, 16-byte stream header, size 3, three data bytes and
    // the two bytes the stated body length holds beyond the coded fields.
    std::vector<unsigned char> expected = {0x00, 0x00, 0x27, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    expected.insert(expected.end(), 8 + 16, 0x00);
    expected.insert(expected.end(), {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(message, expected);
}

TEST(Connection, RefusalIsReportedAsSuch) {
    fake::FakeAgent agent;
    agent.serve_raw([](int fd) {
        unsigned char request[513];
        ASSERT_TRUE(fake::read_exact(fd, request, sizeof request));
        unsigned char reply[514] = {0x01, 0x00};
        ASSERT_TRUE(fake::write_all(fd, reply, sizeof reply));
    });
    auto c = Connection::open(local(agent.port()));
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().kind, ErrorKind::refused);
    EXPECT_NE(c.error().text.find(": refused (4 sessions already, or this address is not allowed)"), std::string::npos)
        << c.error().text;
}

TEST(Connection, UnreachableAgentIsReportedAsSuch) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t unused = ntohs(a.sin_port);  // bound, never listening: connections are refused
    auto c = Connection::open(local(unused));
    ::close(fd);
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().kind, ErrorKind::unreachable);
    EXPECT_NE(c.error().text.find("cannot connect to 127.0.0.1:"), std::string::npos) << c.error().text;
}

TEST(Connection, PeerClosingDuringTheOpenExchangeIsAnError) {
    fake::FakeAgent agent;
    agent.serve_raw([](int fd) {
        unsigned char request[513];
        ASSERT_TRUE(fake::read_exact(fd, request, sizeof request));
        unsigned char partial[100] = {};
        fake::write_all(fd, partial, sizeof partial);
    });
    auto c = Connection::open(local(agent.port()));
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().kind, ErrorKind::closed);
    EXPECT_NE(c.error().text.find("after 100 of 514 bytes"), std::string::npos) << c.error().text;
}

TEST(Connection, PeerClosingMidReplyIsAnErrorNotAHang) {
    fake::FakeAgent agent;
    agent.serve_raw([](int fd) {
        accept_session(fd);
        unsigned char request[4 + 36];
        ASSERT_TRUE(fake::read_exact(fd, request, sizeof request));
        // Announces 100 bytes, sends 10, closes.
        const unsigned char part[] = {0x00, 0x00, 100, 0x00, 77, 0, 0, 0, 1, 0, 0, 0, 0, 0};
        fake::write_all(fd, part, sizeof part);
    });
    ConnectOptions options;
    options.reply_timeout_ms = 60000;
    auto c = Connection::open(local(agent.port()), options);
    ASSERT_TRUE(c.ok()) << c.error().text;
    const auto start = std::chrono::steady_clock::now();
    Status s = verify_echo(*c, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(s.kind, ErrorKind::closed);
    EXPECT_NE(s.text.find("after 10 of 100 bytes"), std::string::npos) << s.text;
    EXPECT_FALSE(c->is_open());
    // Further requests fail at once.
    EXPECT_EQ(verify_echo(*c, 0).kind, ErrorKind::closed);
}

TEST(Connection, SilentPeerTimesOut) {
    fake::FakeAgent agent;
    int done[2];
    ASSERT_EQ(pipe(done), 0);
    agent.serve_raw([&](int fd) {
        accept_session(fd);
        char c;
        (void)read(done[0], &c, 1);  // stays silent until the test is over
    });
    ConnectOptions options;
    options.reply_timeout_ms = 200;
    auto c = Connection::open(local(agent.port()), options);
    ASSERT_TRUE(c.ok()) << c.error().text;
    Status s = verify_echo(*c, 0);
    EXPECT_EQ(s.kind, ErrorKind::timeout) << s.text;
    (void)write(done[1], "x", 1);
    agent.wait();
    close(done[0]);
    close(done[1]);
}

TEST(Connection, DeallocationFromTheAgentEndsTheSession) {
    fake::FakeAgent agent;
    agent.serve_raw([](int fd) {
        accept_session(fd);
        unsigned char request[4 + 36];
        ASSERT_TRUE(fake::read_exact(fd, request, sizeof request));
        const unsigned char dealloc[] = {0x01, 0x00, 0x05, 0x00};
        fake::write_all(fd, dealloc, sizeof dealloc);
    });
    auto c = Connection::open(local(agent.port()));
    ASSERT_TRUE(c.ok());
    Status s = verify_echo(*c, 0);
    EXPECT_EQ(s.kind, ErrorKind::closed);
    EXPECT_NE(s.text.find("reason 5"), std::string::npos) << s.text;
}

TEST(Connection, ReplyOfTheWrongTypeOrRequestIsAProtocolError) {
    fake::FakeAgent agent;
    agent.serve_raw([](int fd) {
        accept_session(fd);
        unsigned char request[4 + 36];
        ASSERT_TRUE(fake::read_exact(fd, request, sizeof request));
        // A GRFS_CLOSE_OBJ_STAT where GRFS_VERIFY_OBJ_STAT belongs.
        const unsigned char wrong[] = {0x00, 0x00, 0x08, 0x00, 78, 0, 0, 0, 1, 0, 0, 0};
        fake::write_all(fd, wrong, sizeof wrong);
    });
    auto c = Connection::open(local(agent.port()));
    ASSERT_TRUE(c.ok());
    Status s = verify_echo(*c, 0);
    EXPECT_EQ(s.kind, ErrorKind::protocol);
    EXPECT_NE(s.text.find("GRFS_CLOSE_OBJ_STAT"), std::string::npos) << s.text;
}

TEST(Connection, TruncatedReplyBodyIsAProtocolError) {
    fake::FakeAgent agent;
    agent.serve_raw([](int fd) {
        accept_session(fd);
        unsigned char request[4 + 36];
        ASSERT_TRUE(fake::read_exact(fd, request, sizeof request));
        // A whole NRL message holding a GRFS_VERIFY_OBJ_STAT cut after its
        // size field.
        const unsigned char cut[] = {0x00, 0x00, 0x0A, 0x00, 77, 0, 0, 0, 1, 0, 0, 0, 0, 0};
        fake::write_all(fd, cut, sizeof cut);
    });
    auto c = Connection::open(local(agent.port()));
    ASSERT_TRUE(c.ok());
    Status s = verify_echo(*c, 0);
    EXPECT_EQ(s.kind, ErrorKind::protocol) << s.text;
    EXPECT_NE(s.text.find("malformed reply"), std::string::npos) << s.text;
}
