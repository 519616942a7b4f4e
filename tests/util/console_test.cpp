// Console messages of a session: program name first, names escaped, and
// one message repeated at most 20 times, the rest counted and reported at
// session end.
#include <gtest/gtest.h>

#include <string>

#include "util/console.h"
#include "util/debug_print.h"

namespace {

TEST(SessionConsole, RepeatsPastTwentyAreCountedAndReportedOnce) {
    const char* saved = prog_name;
    prog_name = "agent";
    ConsoleRepeats repeats{};
    testing::internal::CaptureStderr();
    for (int i = 0; i < 25; ++i) ConsoleMessage(&repeats, "Restore of %s incomplete.\n", "a\x1b");
    ConsoleMessage(&repeats, "other %d\n", 1);
    const std::string during = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    ReportSuppressedConsole(&repeats);
    ReportSuppressedConsole(&repeats);
    const std::string at_end = testing::internal::GetCapturedStderr();
    prog_name = saved;

    std::string expected;
    for (int i = 0; i < 20; ++i) expected += "agent: Restore of a\\x1b incomplete.\n";
    expected += "agent: other 1\n";
    EXPECT_EQ(during, expected);
    EXPECT_EQ(at_end, "agent: 5 more messages like \"Restore of %s incomplete.\" suppressed in this session.\n");
}

}  // namespace
