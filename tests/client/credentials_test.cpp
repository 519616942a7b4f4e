// Attach credentials: the sender's scrambling against a vector computed by
// hand, the receiver's unscrambling, and the names the agent holds.
#include <gtest/gtest.h>

#include <array>
#include <unistd.h>

#include "client/credentials.h"

using namespace grfs_client;

namespace {

using Field = std::array<char, 128>;

Field field(const char* text) {
    Field f{};
    for (size_t i = 0; text[i] != '\0'; ++i) f[i] = text[i];
    return f;
}

unsigned char byte(const Field& f, size_t i) { return static_cast<unsigned char>(f[i]); }

}  // namespace

TEST(Credentials, ScramblingMatchesAHandComputedVector) {
    // name "AB", password "C". The plain name sums to 0x41 + 0x42 = 0x0083:
    // the password's even bytes are xored with 0x83, odd bytes with 0x00,
    // giving C0 00 83 00 83 00 ... The scrambled password sums to
    // 0xC0 + 63 * 0x83 = 0x20FD: the name's even bytes are xored with 0xFD,
    // odd bytes with 0x20, giving BC 62 FD 20 FD 20 ...
    Field name = field("AB");
    Field password = field("C");
    scramble_credentials(name, password);

    EXPECT_EQ(byte(password, 0), 0xC0);
    EXPECT_EQ(byte(password, 1), 0x00);
    for (size_t i = 2; i < 128; i += 2) {
        ASSERT_EQ(byte(password, i), 0x83) << i;
        ASSERT_EQ(byte(password, i + 1), 0x00) << i;
    }
    EXPECT_EQ(byte(name, 0), 0xBC);
    EXPECT_EQ(byte(name, 1), 0x62);
    for (size_t i = 2; i < 128; i += 2) {
        ASSERT_EQ(byte(name, i), 0xFD) << i;
        ASSERT_EQ(byte(name, i + 1), 0x20) << i;
    }
}

TEST(Credentials, ReceiverRuleRecoversThePlainTexts) {
    // The receiver sums the password as received to unscramble the name,
    // then the plain name to unscramble the password.
    for (auto [n, p] : {std::pair{"AB", "C"}, std::pair{"MYHOST", "SECRET"}, std::pair{"", ""},
                        std::pair{"WS", ""}, std::pair{"", "PW"}}) {
        Field name = field(n), password = field(p);
        scramble_credentials(name, password);
        if (*n != '\0' || *p != '\0') {
            EXPECT_NE(name, field(n));
        }
        unscramble_credentials(name, password);
        EXPECT_EQ(name, field(n));
        EXPECT_EQ(password, field(p));
    }
}

TEST(Credentials, HighByteSumsReachTheOddBytes) {
    // 128 bytes of 0xFF sum to 0x7F80: both bytes of the key matter.
    Field name;
    name.fill(static_cast<char>(0xFF));
    Field password{};
    scramble_credentials(name, password);
    EXPECT_EQ(byte(password, 0), 0x80);
    EXPECT_EQ(byte(password, 1), 0x7F);
    unscramble_credentials(name, password);
    EXPECT_EQ(byte(name, 127), 0xFF);
    EXPECT_EQ(byte(password, 0), 0x00);
}

TEST(Credentials, NamesAsTheAgentHoldsThem) {
    EXPECT_EQ(upper_case("Secret-1"), "SECRET-1");
    EXPECT_EQ(mangle_workstation_name("my-host.1"), "MY_HOST_1");
    EXPECT_EQ(default_workstation_names("backup-host.example.com"),
              (std::vector<std::string>{"backup-host", "BACKUP_HOST"}));
    EXPECT_EQ(default_workstation_names("HOST"), (std::vector<std::string>{"HOST"}));
    EXPECT_TRUE(default_workstation_names("10.1.2.3").empty());

    char local[256] = {};
    ASSERT_EQ(gethostname(local, sizeof local - 1), 0);
    const auto names = default_workstation_names("127.0.0.2");
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names[0], std::string(local).substr(0, 35));
}
