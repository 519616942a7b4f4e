// Advertisements: the message byte for byte, its decoding, and the
// listener that receives them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "client/advertisement.h"
#include "fake_agent.h"

using namespace grfs_client;

namespace {

Advertisement example() {
    Advertisement a;
    a.resource_type = 32;
    a.resource_name = "R";
    a.address = "10.0.0.5.32.0";
    a.address_again = "10.0.0.5.32.0";
    a.host = "h";
    return a;
}

std::vector<unsigned char> example_bytes() {
    // Type 2, zero, size 32, type 32, then R, the address twice and h.
    std::vector<unsigned char> b = {0x02, 0x00, 0x20, 0x00, 0x20, 0x00, 'R', 0};
    for (int i = 0; i < 2; ++i) {
        for (char c : std::string("10.0.0.5.32.0")) b.push_back(static_cast<unsigned char>(c));
        b.push_back(0);
    }
    b.insert(b.end(), {'h', 0});
    return b;
}

void send_to(uint16_t port, const std::vector<unsigned char>& bytes) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_TRUE(fake::write_all(fd, bytes.data(), bytes.size()));
    ::close(fd);
}

}  // namespace

TEST(Advertisement, EncodesAndDecodesTheDocumentedBytes) {
    const auto bytes = example_bytes();
    ASSERT_EQ(bytes.size(), 38u);
    EXPECT_EQ(encode_advertisement(example()), bytes);
    auto a = decode_advertisement(bytes);
    ASSERT_TRUE(a.ok()) << a.error().text;
    EXPECT_EQ(a->resource_type, 32);
    EXPECT_EQ(a->resource_name, "R");
    EXPECT_EQ(a->address, "10.0.0.5.32.0");
    EXPECT_EQ(a->address_again, "10.0.0.5.32.0");
    EXPECT_EQ(a->host, "h");
}

TEST(Advertisement, MalformedMessagesAreRefused) {
    auto bytes = example_bytes();
    bytes[0] = 0;  // a data message
    EXPECT_EQ(decode_advertisement(bytes).error().kind, ErrorKind::protocol);
    bytes = example_bytes();
    bytes[2] = 0x21;  // size one more than carried
    EXPECT_FALSE(decode_advertisement(bytes).ok());
    bytes = example_bytes();
    bytes.pop_back();  // host name not terminated
    bytes[2] = 0x1F;
    EXPECT_FALSE(decode_advertisement(bytes).ok());
    EXPECT_FALSE(decode_advertisement(std::vector<unsigned char>{0x02, 0x00}).ok());
}

TEST(Advertisement, UniversalAddressesAndResourceNames) {
    auto e = parse_universal_address("10.0.0.5.32.0");
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(e->host, "10.0.0.5");
    EXPECT_EQ(e->port, 8192);
    e = parse_universal_address("127.0.0.1.32.5");
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(e->port, 8197);
    for (const char* bad : {"", "10.0.0.5.32", "10.0.0.5.32.0.1", "10.0.0.256.32.0", "10..0.5.32.0", "a.b.c.d.e.f"})
        EXPECT_FALSE(parse_universal_address(bad).ok()) << bad;

    ResourceName r = parse_resource_name("2044MYHOST");
    EXPECT_TRUE(r.valid);
    EXPECT_FALSE(r.password_required);
    EXPECT_EQ(r.workstation, "MYHOST");
    r = parse_resource_name("2045h");
    EXPECT_TRUE(r.valid && r.password_required);
    EXPECT_FALSE(parse_resource_name("2046X").valid);
    EXPECT_FALSE(parse_resource_name("2044").valid);
}

TEST(Advertisement, ListenerReceivesOneMessagePerConnection) {
    auto listener = AdvertListener::listen(Endpoint{"127.0.0.1", 0});
    ASSERT_TRUE(listener.ok()) << listener.error().text;
    ASSERT_NE(listener->port(), 0);
    std::thread sender([port = listener->port()] {
        send_to(port, example_bytes());
        send_to(port, {0x00, 0x01, 0x02});
    });
    auto a = listener->receive(10000);
    ASSERT_TRUE(a.ok()) << a.error().text;
    EXPECT_EQ(a->resource_name, "R");
    EXPECT_EQ(a->sender.rfind("127.0.0.1:", 0), 0u);
    auto junk = listener->receive(10000);
    EXPECT_EQ(junk.error().kind, ErrorKind::protocol);
    sender.join();
    auto none = listener->receive(100);
    EXPECT_EQ(none.error().kind, ErrorKind::timeout);
}
