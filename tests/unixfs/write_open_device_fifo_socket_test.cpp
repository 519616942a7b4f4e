// A write open names a regular file: whatever the request's block says, an
// existing device node, FIFO or socket under that name is never opened for
// writing (a restore would otherwise write through a device node into the
// device itself, outside the export).
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "object_io_fixture.h"

namespace {

using io_test::ObjectIoTest;

class WriteOpenSpecial : public ObjectIoTest {
protected:
    // A write open of name with a block that calls it a regular file.
    int16_t OpenAsRegularFile(const std::string& name) {
        struct stat regular {};
        regular.st_mode = S_IFREG | 0644;
        regular.st_nlink = 1;
        io_test::BuildFileDblk(&req_->body.open_obj.dblk, name, &regular);
        return SendOpen(OPEN_MODE_WRITE);
    }
    static int OpenDescriptors() {
        int n = 0;
        for (int fd = 0; fd < 1024; ++fd) n += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
        return n;
    }
};

TEST_F(WriteOpenSpecial, DeviceNodeIsNotOpenedForWriting) {
    if (geteuid() != 0) GTEST_SKIP() << "device nodes are made by root only";
    // The null device's numbers: harmless should the test fail.
    ASSERT_EQ(mknod(Export("dev").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    const int before = OpenDescriptors();
    EXPECT_EQ(OpenAsRegularFile("dev"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(ses_->object_list.head, nullptr);
    struct stat st {};
    ASSERT_EQ(lstat(Export("dev").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(WriteOpenSpecial, FifoWithAReaderIsNotOpenedForWriting) {
    ASSERT_EQ(mkfifo(Export("pipe").c_str(), 0666), 0);
    const int reader = open(Export("pipe").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const int before = OpenDescriptors();
    EXPECT_EQ(OpenAsRegularFile("pipe"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(OpenDescriptors(), before);
    close(reader);
}

TEST_F(WriteOpenSpecial, SocketIsNotOpenedForWriting) {
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = Export("sock").string();
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(OpenAsRegularFile("sock"), GRFS_RC_ACCESS_DENIED);
    close(s);
}

TEST_F(WriteOpenSpecial, RegularFilesAndNewNamesStillOpen) {
    io_test::WriteFile(Export("old.txt"), {'o', 'l', 'd'});
    uint32_t obj = 0;
    struct stat regular {};
    regular.st_mode = S_IFREG | 0644;
    io_test::BuildFileDblk(&req_->body.open_obj.dblk, "old.txt", &regular);
    ASSERT_EQ(SendOpen(OPEN_MODE_WRITE, &obj), 0);
    EXPECT_EQ(Close(obj), 0);
    EXPECT_TRUE(io_test::ReadWholeFile(Export("old.txt")).empty());
    io_test::BuildFileDblk(&req_->body.open_obj.dblk, "new.txt", &regular);
    ASSERT_EQ(SendOpen(OPEN_MODE_WRITE, &obj), 0);
    EXPECT_EQ(Close(obj), 0);
    EXPECT_TRUE(std::filesystem::exists(Export("new.txt")));
}

}  // namespace
