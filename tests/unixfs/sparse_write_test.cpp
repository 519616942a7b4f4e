// Data streams written with sparse_restore into files that already hold
// bytes, and into descriptors that cannot be written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grfs/messages.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/object/sparse_file.h"

namespace {

struct TempFile {
    std::string path;
    TempFile() {
        char name[] = "/tmp/sparse-write-XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path = name;
    }
    ~TempFile() { unlink(path.c_str()); }
};

// Feeds bytes to a fresh object on fd in pieces of piece bytes; the
// retcode of the first piece that fails, else 0.
int Feed(int fd, const std::vector<unsigned char>& bytes, size_t piece) {
    FILE_MEMORY rec{};
    rec.data_hand = fd;
    rec.cur_stream.id = STRM_STANDARD;
    rec.cur_stream.size = U32_To_U64(static_cast<uint32_t>(bytes.size()));
    SparseOpen(&rec, nullptr);
    for (size_t done = 0; done < bytes.size();) {
        uint32_t count = static_cast<uint32_t>(std::min(piece, bytes.size() - done));
        const int rc = SparseWriteData(&rec, bytes.data() + done, &count);
        if (rc != 0) return rc;
        EXPECT_GT(count, 0u);
        done += count;
    }
    SparseWriteFinish(&rec);
    return 0;
}

TEST(SparseWrite, BlocksOfZerosOverOldBytesReadAsZerosAndFailuresAreReported) {
    TempFile file;
    const std::string old(65536, 'o');
    {
        int fd = open(file.path.c_str(), O_WRONLY);
        ASSERT_EQ(write(fd, old.data(), old.size()), static_cast<ssize_t>(old.size()));
        close(fd);
    }
    std::vector<unsigned char> bytes(40000, 0);
    for (size_t i = 3 * 4096 + 100; i < 4 * 4096; ++i) bytes[i] = 'n';
    int fd = open(file.path.c_str(), O_WRONLY);
    ASSERT_EQ(Feed(fd, bytes, 5000), 0);
    close(fd);

    fd = open(file.path.c_str(), O_RDONLY);
    std::vector<unsigned char> got(bytes.size());
    ASSERT_EQ(pread(fd, got.data(), got.size(), 0), static_cast<ssize_t>(got.size()));
    EXPECT_TRUE(got == bytes);
    EXPECT_EQ(lseek(fd, 0, SEEK_DATA), 3 * 4096);  // the old bytes before the data are gone

    // A descriptor that cannot be written: neither data nor a stream of
    // zeros alone (which only sets the length) passes for written.
    EXPECT_EQ(Feed(fd, bytes, 5000), GRFS_RC_NO_SPACE);
    EXPECT_EQ(Feed(fd, std::vector<unsigned char>(20000, 0), 7000), GRFS_RC_NO_SPACE);
    close(fd);
}

}  // namespace
