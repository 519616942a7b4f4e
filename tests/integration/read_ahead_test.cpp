// A backup asks the kernel to read a file ahead of the server's requests,
// far beyond what the kernel reads ahead of one request on its own, so that
// a slow disk works while the replies go out.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "client/requests.h"
#include "e2e_support.h"

namespace e2e {
namespace {

constexpr size_t kMiB = 1 << 20;
constexpr size_t kFileSize = 20 * kMiB;

// Pages of path in [from, to) that are in the page cache.
size_t cached_pages(const std::string& path, size_t from, size_t to) {
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    void* map = mmap(nullptr, kFileSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return 0;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident(kFileSize / page);
    EXPECT_EQ(mincore(map, kFileSize, resident.data()), 0);
    munmap(map, kFileSize);
    size_t n = 0;
    for (size_t i = from / page; i < to / page; ++i) n += resident[i] & 1;
    return n;
}

TEST(ReadAhead, TheFirstReadOfAFileBringsTheNextMegabytesIntoTheCache) {
    agent_it::AgentConfig config;
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string path = agent.export_dir() + "/big.bin";
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        std::vector<char> block(kMiB, 'x');
        for (size_t done = 0; done < kFileSize; done += kMiB) ASSERT_EQ(write(fd, block.data(), kMiB), ssize_t(kMiB));
        ASSERT_EQ(fdatasync(fd), 0);
        ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
        close(fd);
    }
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t far = (16 * kMiB - 8 * kMiB) / page;  // pages from 8 to 16 MiB
    if (cached_pages(path, 0, kFileSize) != 0) GTEST_SKIP() << "the export's file system keeps its pages in memory";

    grfs_client::Peer peer = expect_peer(agent, "DATA", 0);
    auto dblk = find_listed(peer, "", "big.bin");
    ASSERT_TRUE(dblk);
    grfs_client::Connection& c = peer.connection();
    auto opened = grfs_client::open_object(c, peer.dle_id(), *dblk, GRFS_OPEN_READ);
    ASSERT_TRUE(opened.ok()) << opened.error().text;
    auto first = grfs_client::read_piece(c, opened->obj_id, 0, 31744);
    ASSERT_TRUE(first.ok()) << first.error().text;

    // The disk may be slow and busy: wait for it, up to half a minute.
    size_t cached = 0;
    for (int i = 0; i < 300 && (cached = cached_pages(path, 8 * kMiB, 16 * kMiB)) < far; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(cached, far) << "pages of the file between 8 and 16 MiB in the cache after its first read";
}

}  // namespace
}  // namespace e2e
