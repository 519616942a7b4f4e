#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "util/alloc.h"
#include "util/process_utils.h"

namespace {

std::string hex(std::initializer_list<unsigned char> bytes, int n) {
    std::vector<unsigned char> b(bytes);
    char text[64];
    std::memset(text, '#', sizeof text);
    mem_to_hex_string(b.data(), n, text);
    return text;
}

TEST(HexString, UpperCaseSpaceSeparatedNoTrailingSpace) {
    EXPECT_EQ(hex({0x0A, 0xFF}, 2), "0A FF");
    EXPECT_EQ(hex({0x00}, 1), "00");
    EXPECT_EQ(hex({0x12, 0xab, 0x00, 0x9c}, 4), "12 AB 00 9C");
    EXPECT_EQ(hex({0x12, 0xab, 0x00, 0x9c}, 3), "12 AB 00");
}

TEST(HexString, NothingAtAllForZeroOrNegativeCount) {
    char text[4] = {'#', '#', '#', '\0'};
    const unsigned char byte = 0x41;
    mem_to_hex_string(&byte, 0, text);
    EXPECT_STREQ(text, "###");
    mem_to_hex_string(&byte, -3, text);
    EXPECT_STREQ(text, "###");
}

// Runs fn with standard output sent to a file and returns what was written.
template <typename Fn>
std::string capture_stdout(Fn fn) {
    char path[] = "/tmp/util_stdout_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(path);
    return out;
}

TEST(Alloc, TraceIsOffByDefaultAndSilent) {
    EXPECT_EQ(our_malloc_debug, 0U);
    std::string out = capture_stdout([] {
        void* a = MYMALLOC(16);
        auto* b = static_cast<unsigned char*>(MYCALLOC(4, 8));
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        for (int i = 0; i < 32; ++i) EXPECT_EQ(b[i], 0);
        MYFREE(a);
        MYFREE(b);
    });
    EXPECT_EQ(out, "");
}

TEST(Alloc, TraceNamesBlockSizeAndCaller) {
    void* a = nullptr;
    void* b = nullptr;
    our_malloc_debug = 1;
    std::string out = capture_stdout([&] {
        a = mymalloc(24, "unixlstn", 101);
        b = mycalloc(3, 5, "unixsessn", 202);
        myfree(a, "unix", 303);
        myfree(b, "unix", 304);
    });
    our_malloc_debug = 0;
    char want[512];
    int pid = static_cast<int>(getpid());
    std::snprintf(want, sizeof want,
                  "MALLDEBUG: ptr=%p pid=%d   alloc(24) at unixlstn 101\n"
                  "MALLDEBUG: ptr=%p pid=%d   calloc(3,5) at unixsessn 202\n"
                  "MALLDEBUG: ptr=%p pid=%d   free at unix 303\n"
                  "MALLDEBUG: ptr=%p pid=%d   free at unix 304\n",
                  a, pid, b, pid, a, pid, b, pid);
    EXPECT_EQ(out, want);
}

TEST(Fork, ChildRunsAndParentSeesItsStatus) {
    pid_t pid = fork_v();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(42);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42);
}

TEST(DebugPause, ReturnsOnceTheMarkerFileIsRemoved) {
    char dir[] = "/tmp/util_pause_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    pid_t pid = fork_v();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir) != 0) _exit(2);
        debug_pause();
        _exit(7);
    }
    std::string marker = std::string(dir) + "/" + std::to_string(pid);
    struct stat st;
    int tries = 0;
    while (stat(marker.c_str(), &st) != 0 && tries++ < 3000) usleep(10000);
    ASSERT_EQ(stat(marker.c_str(), &st), 0) << "marker file never appeared";
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "returned while the marker exists";
    ASSERT_EQ(unlink(marker.c_str()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    rmdir(dir);
}

}  // namespace
