#include <gtest/gtest.h>

#include <string>

#include "agent/config_tokens.h"

namespace {

struct TokenCase {
    const char* line;
    int token;
    const char* rest;  // nullptr: no value
};

TEST(GetToken, ClassifiesEveryKeywordAndFindsItsValue) {
    const TokenCase cases[] = {
        {"name host1", CFG_NAME, "host1"},
        {"password secret", CFG_PASSWORD, "secret"},
        {"export /home as home", CFG_EXPORT, "/home as home"},
        {"tell server1", CFG_TELL, "server1"},
        {"tell_interval 30", CFG_TELL_INTERVAL, "30"},
        {"follow_symdirs", CFG_FOLLOW_SYMDIRS, nullptr},
        {"exclude_file /a/core", CFG_EXCLUDE_FILE, "/a/core"},
        {"exclude_dir /proc", CFG_EXCLUDE_DIR, "/proc"},
        {"logfile /tmp/log", CFG_LOGFILE, "/tmp/log"},
        {"preserve_ctime", CFG_PRESERVE_CTIME, nullptr},
        {"force_address 10.0.0.1", CFG_FORCE_ADDRESS, "10.0.0.1"},
        {"nrl_conn_timeout 5", CFG_NRL_CONN_TIMEOUT, "5"},
        {"mac_as_unix", CFG_MAC_AS_UNIX, nullptr},
        {"ignore_acl_errors", CFG_IGNORE_ACL_ERRORS, nullptr},
        {"session_idle_timeout 600", CFG_SESSION_IDLE_TIMEOUT, "600"},
    };
    for (const auto& c : cases) {
        const char* rest = reinterpret_cast<const char*>(1);
        EXPECT_EQ(get_token(c.line, &rest), c.token) << c.line;
        if (c.rest == nullptr) {
            EXPECT_EQ(rest, nullptr) << c.line;
        } else {
            ASSERT_NE(rest, nullptr) << c.line;
            EXPECT_STREQ(rest, c.rest) << c.line;
        }
    }
}

TEST(GetToken, MatchesLinesThatMerelyBeginWithAKeyword) {
    const char* rest = nullptr;
    EXPECT_EQ(get_token("names foo", &rest), CFG_NAME);
    EXPECT_STREQ(rest, "foo");
    EXPECT_EQ(get_token("exporter x", &rest), CFG_EXPORT);
    EXPECT_EQ(get_token("passwordless", &rest), CFG_PASSWORD);
    EXPECT_EQ(rest, nullptr);
    // tell_interval is tried before tell, tell catches the rest.
    EXPECT_EQ(get_token("tell_intervals 9", &rest), CFG_TELL_INTERVAL);
    EXPECT_EQ(get_token("tell_int 9", &rest), CFG_TELL);
    EXPECT_EQ(get_token("teller 9", &rest), CFG_TELL);
}

TEST(GetToken, RejectsUnknownWordsCaseAndPrefixesShorterThanTheKeyword) {
    const char* rest = nullptr;
    EXPECT_EQ(get_token("NAME host", &rest), CFG_UNKNOWN);
    EXPECT_STREQ(rest, "host");
    EXPECT_EQ(get_token("nam host", &rest), CFG_UNKNOWN);
    EXPECT_EQ(get_token("", &rest), CFG_UNKNOWN);
    EXPECT_EQ(rest, nullptr);
    EXPECT_EQ(get_token("tel x", &rest), CFG_UNKNOWN);
    EXPECT_EQ(get_token("exclude x", &rest), CFG_UNKNOWN);
}

TEST(GetToken, ValueStartsAfterSpacesAndTabsOnly) {
    const char* rest = nullptr;
    EXPECT_EQ(get_token("name \t  \t host one", &rest), CFG_NAME);
    EXPECT_STREQ(rest, "host one");
    // Trailing blanks after the keyword are not a value.
    get_token("follow_symdirs  \t ", &rest);
    EXPECT_EQ(rest, nullptr);
    // Only space and tab end the first word: a vertical tab is part of it.
    get_token("name\vx", &rest);
    EXPECT_EQ(rest, nullptr);
    // Other white space after the separator belongs to the value.
    get_token("name \fx", &rest);
    ASSERT_NE(rest, nullptr);
    EXPECT_STREQ(rest, "\fx");
}

TEST(SkipBlanks, SkipsEverySpaceCharacterAndStopsAtOthers) {
    const char* text = " \t\n\v\f\rword ";
    const char* p = text;
    skip_blanks(&p);
    EXPECT_STREQ(p, "word ");
    const char* empty = "";
    p = empty;
    skip_blanks(&p);
    EXPECT_EQ(p, empty);
    const char* only = " \t ";
    p = only;
    skip_blanks(&p);
    EXPECT_EQ(*p, '\0');
    EXPECT_EQ(p, only + 3);
    const char* none = "#x";
    p = none;
    skip_blanks(&p);
    EXPECT_EQ(p, none);
}

TEST(SplitWords, StopsAtTheLimitAndHandlesAllWhiteSpace) {
    std::string_view words[3];
    EXPECT_EQ(split_words("  a\tbb \f ccc dddd", words, 3), 3);
    EXPECT_EQ(words[0], "a");
    EXPECT_EQ(words[1], "bb");
    EXPECT_EQ(words[2], "ccc");
    EXPECT_EQ(split_words(" \t ", words, 3), 0);
    EXPECT_EQ(first_word("\v one two"), "one");
    EXPECT_EQ(first_word(""), "");
}

TEST(ReadDecimal, ReadsLikePercentD) {
    int v = 7;
    EXPECT_TRUE(read_decimal("30", &v));
    EXPECT_EQ(v, 30);
    EXPECT_TRUE(read_decimal("  -12xyz", &v));
    EXPECT_EQ(v, -12);
    EXPECT_TRUE(read_decimal("+5", &v));
    EXPECT_EQ(v, 5);
    EXPECT_TRUE(read_decimal("99999999999999", &v));
    EXPECT_EQ(v, 2147483647);
    v = 7;
    EXPECT_FALSE(read_decimal("abc", &v));
    EXPECT_FALSE(read_decimal("", &v));
    EXPECT_FALSE(read_decimal("-", &v));
    EXPECT_FALSE(read_decimal("- 5", &v));
    EXPECT_EQ(v, 7);
}

}  // namespace
