// Names from the network on the console and in traces: every byte outside
// printable ASCII is escaped; ordinary names and the formats' own texts are
// written as they are.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdarg>
#include <string>

#include "util/debug_print.h"
#include "util/printable.h"

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string out = FormatEscaped(format, ap);
    va_end(ap);
    return out;
}

TEST(Printable, BytesOutsidePrintableAsciiAreEscapedAndOrdinaryNamesKept) {
    EXPECT_EQ(Escaped("usr/local/My File-1.0_(x)~"), "usr/local/My File-1.0_(x)~");
    EXPECT_EQ(Escaped("a\nb\rc\td"), "a\\nb\\rc\\td");
    EXPECT_EQ(Escaped("\x1b[2J\x7f"), "\\x1b[2J\\x7f");
    EXPECT_EQ(Escaped("back\\slash"), "back\\\\slash");
    EXPECT_EQ(Escaped("caf\xc3\xa9"), "caf\\xc3\\xa9");
    EXPECT_EQ(Escaped(std::string_view("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(Escaped(static_cast<const char*>(nullptr)), "(null)");
}

TEST(Printable, FormattingEscapesTextArgumentsOnly) {
    EXPECT_EQ(Format("\n%d:%5s|%-5s|%.2s|%c%c|%%|0x%08x %ld %zu %lld %u %4.1f\n", -7, "a\nb", "c", "d\x1bz", 'q', '\n',
                     0xBEEFu, 123456789012L, static_cast<size_t>(42), -5LL, 3u, 2.5),
              "\n-7: a\\nb|c    |d\\x1b|q\\n|%|0x0000beef 123456789012 42 -5 3  2.5\n");
    EXPECT_EQ(Format("[%*s] [%.*s]", 4, "x", 3, "abcdef"), "[   x] [abc]");
    void* p = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(Format("%p", p), "0x1234");
}

TEST(Printable, TraceLinesEscapeNamesAndKeepTheirFormat) {
    const uint16_t saved = grfs_debug;
    grfs_debug = DBG_PROCESS;
    testing::internal::CaptureStderr();
    DEBUG_PRINTF(DBG_PROCESS, "attempting attach to drive: %s\n", "HOME\nforged: line");
    const std::string err = testing::internal::GetCapturedStderr();
    grfs_debug = saved;
    EXPECT_EQ(err, std::to_string(getpid()) + ":attempting attach to drive: HOME\\nforged: line\n");
}

}  // namespace
