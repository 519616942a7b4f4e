#include "unixfs/host/str_match.h"

#include <gtest/gtest.h>

namespace {

// The patterns of files a Solaris restore leaves alone.
constexpr const char* kSharedLibs = "/usr/lib/lib*.so*";
constexpr const char* kAgentImage = "*/agent.vs";

TEST(StrMatchTest, BusyFilePatterns) {
    EXPECT_EQ(str_match(kSharedLibs, "/usr/lib/libc.so.1"), 1);
    EXPECT_EQ(str_match(kSharedLibs, "/usr/lib/libc.so"), 1);
    EXPECT_EQ(str_match(kSharedLibs, "/usr/lib/libc.a"), 0);
    // The "*" stops at the first "." and never tries a later one.
    EXPECT_EQ(str_match(kSharedLibs, "/usr/lib/libc.a.so"), 0);
    EXPECT_EQ(str_match(kSharedLibs, "/usr/local/lib/libc.so.1"), 0);

    EXPECT_EQ(str_match(kAgentImage, "/opt/x/agent.vs"), 1);
    EXPECT_EQ(str_match(kAgentImage, "/agent.vs"), 1);
    EXPECT_EQ(str_match(kAgentImage, "/opt/agent.vs/x"), 0);
    EXPECT_EQ(str_match(kAgentImage, "/opt/agent.vsx"), 0);
    EXPECT_EQ(str_match(kAgentImage, "agent.vs"), 0);
}

TEST(StrMatchTest, LiteralAndTrailingStar) {
    EXPECT_EQ(str_match("abc", "abc"), 1);
    EXPECT_EQ(str_match("abc", "abcd"), 0);
    EXPECT_EQ(str_match("abcd", "abc"), 0);
    EXPECT_EQ(str_match("", ""), 1);
    EXPECT_EQ(str_match("ab*", "ab"), 1);  // the pattern's rest is a single "*"
    EXPECT_EQ(str_match("ab*", "abzzz"), 1);
    EXPECT_EQ(str_match("a*c", "abbbc"), 1);
    EXPECT_EQ(str_match("a*c", "abbb"), 0);
}

}  // namespace
