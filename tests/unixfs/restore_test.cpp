// GRFS_CREATE_OBJ on a real tree: every kind of object, missing parents,
// hard links by device and inode, the EACCES retry on a read-only parent.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <pwd.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include "unixfs/requests/object_create.h"
#include "restore_fixture.h"

namespace restore_test {
namespace {

class CreateTest : public RestoreFixture {
protected:
    int16_t CreateFile(const std::string& name, const UnixInfo* info) {
        GRFS_GEN_DBLK dblk;
        MakeFileDblk(&dblk, name, info);
        return Run(CreateObject, GRFS_CREATE_OBJ, dblk);
    }
    int16_t CreateDir(const std::string& path, const UnixInfo* info) {
        GRFS_GEN_DBLK dblk;
        MakeDirDblk(&dblk, path, info);
        return Run(CreateObject, GRFS_CREATE_OBJ, dblk);
    }
};

TEST_F(CreateTest, RegularFileWithAndWithoutUnixInformation) {
    EXPECT_EQ(CreateFile("plain", nullptr), 0);
    EXPECT_EQ(sent_.last_body_size, 0);
    struct stat st = Lstat(In("plain"));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);  // 0666 less the umask
    EXPECT_EQ(st.st_size, 0);

    UnixInfo info;
    info.mode = 0100640;
    EXPECT_EQ(CreateFile("owned", &info), 0);
    st = Lstat(In("owned"));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(CreateTest, ExistingFileIsReplacedByAnEmptyOne) {
    WriteText(In("old"), "old contents");
    const ino_t old_ino = Lstat(In("old")).st_ino;
    // A second name keeps the old inode alive, so the number cannot be reused.
    ASSERT_EQ(link(In("old").c_str(), In("keep").c_str()), 0);
    UnixInfo info;
    EXPECT_EQ(CreateFile("old", &info), 0);
    struct stat st = Lstat(In("old"));
    EXPECT_NE(st.st_ino, old_ino);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(ReadText(In("keep")), "old contents");
}

TEST_F(CreateTest, FileInCurrentDirectory) {
    ASSERT_EQ(mkdir(In("sub").c_str(), 0755), 0);
    std::snprintf(current_path_, sizeof current_path_, "sub");
    EXPECT_EQ(CreateFile("inside", nullptr), 0);
    EXPECT_TRUE(Exists(In("sub/inside")));
    EXPECT_FALSE(Exists(In("inside")));
}

TEST_F(CreateTest, FileInMissingDirectoryIsNoSuchFile) {
    std::snprintf(current_path_, sizeof current_path_, "missing");
    EXPECT_EQ(CreateFile("f", nullptr), GRFS_RC_NO_SUCH_FILE);
}

TEST_F(CreateTest, DirectoryWithMissingParents) {
    ASSERT_EQ(mkdir(In("a").c_str(), 0755), 0);
    UnixInfo info;
    info.mode = 040750;
    EXPECT_EQ(CreateDir("a/b/c", &info), 0);
    EXPECT_TRUE(S_ISDIR(Lstat(In("a/b")).st_mode));
    struct stat st = Lstat(In("a/b/c"));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0750u);

    // Nothing of it exists yet: every level is made from the root down.
    EXPECT_EQ(CreateDir("x/y/z", nullptr), 0);
    EXPECT_TRUE(S_ISDIR(Lstat(In("x/y/z")).st_mode));
    EXPECT_EQ(Lstat(In("x/y/z")).st_mode & 07777, 0755u);  // 0777 less the umask

    // An existing directory is success.
    EXPECT_EQ(CreateDir("a/b/c", &info), 0);
}

TEST_F(CreateTest, RootDirectoryNeedsNothing) {
    EXPECT_EQ(CreateDir("", nullptr), 0);
    EXPECT_EQ(CreateDir("/", nullptr), 0);
}

TEST_F(CreateTest, DirectoryUnderAFileFails) {
    WriteText(In("file"), "x");
    EXPECT_NE(CreateDir("file/sub", nullptr), 0);
    EXPECT_EQ(ReadText(In("file")), "x");
}

TEST_F(CreateTest, FifoAndDeviceNodes) {
    UnixInfo fifo;
    fifo.mode = 010640;
    EXPECT_EQ(CreateFile("fifo", &fifo), 0);
    struct stat st = Lstat(In("fifo"));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    if (geteuid() != 0) GTEST_SKIP() << "making device nodes needs root";
    UnixInfo chr;
    chr.mode = 020666;
    chr.rdev = static_cast<uint32_t>(makedev(1, 3));
    int16_t rc = CreateFile("null", &chr);
    if (rc == GRFS_RC_ACCESS_DENIED) GTEST_SKIP() << "this container may not make device nodes";
    EXPECT_EQ(rc, 0);
    st = Lstat(In("null"));
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 1u);
    EXPECT_EQ(minor(st.st_rdev), 3u);

    UnixInfo blk;
    blk.mode = 060660;
    blk.rdev = static_cast<uint32_t>(makedev(7, 200));
    EXPECT_EQ(CreateFile("loop", &blk), 0);
    st = Lstat(In("loop"));
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 7u);
    EXPECT_EQ(minor(st.st_rdev), 200u);
}

TEST_F(CreateTest, SymbolicLinkIsLeftForClose) {
    UnixInfo link;
    link.mode = 0120777;
    EXPECT_EQ(CreateFile("lnk", &link), 0);
    EXPECT_FALSE(Exists(In("lnk")));
}

TEST_F(CreateTest, UnsupportedTypeAndWrongBlockType) {
    UnixInfo sock;
    sock.mode = 0140755;
    EXPECT_EQ(CreateFile("sock", &sock), GRFS_RC_ACCESS_DENIED);
    EXPECT_FALSE(Exists(In("sock")));

    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "x", nullptr);
    dblk.dblk_type = VCB_ID;
    EXPECT_EQ(Run(CreateObject, GRFS_CREATE_OBJ, dblk), GRFS_RC_WRONG_DBLK_TYPE);
    MakeFileDblk(&dblk, "x", nullptr);
    EXPECT_EQ(Run(CreateObject, GRFS_CREATE_OBJ, dblk, drvdle_.handle + 1), GRFS_RC_BAD_DLE_HANDLE);
    EXPECT_FALSE(Exists(In("x")));
}

TEST_F(CreateTest, SecondNameOfAMultiplyLinkedFileBecomesAHardLink) {
    UnixInfo info;
    info.dev = 0x801;
    info.ino = 0x1234567890ull;
    info.nlink = 2;
    EXPECT_EQ(CreateFile("first", &info), 0);
    WriteText(In("first"), "shared");
    EXPECT_EQ(CreateFile("second", &info), 0);
    struct stat a = Lstat(In("first"));
    struct stat b = Lstat(In("second"));
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(b.st_nlink, 2u);
    EXPECT_EQ(ReadText(In("second")), "shared");

    // Same inode number on another device: another file.
    UnixInfo other = info;
    other.dev = 0x802;
    EXPECT_EQ(CreateFile("other", &other), 0);
    EXPECT_NE(Lstat(In("other")).st_ino, a.st_ino);
    EXPECT_EQ(Lstat(In("other")).st_size, 0);

    // A single-linked file with the same key takes no part.
    UnixInfo single = info;
    single.nlink = 1;
    EXPECT_EQ(CreateFile("single", &single), 0);
    EXPECT_NE(Lstat(In("single")).st_ino, a.st_ino);
}

TEST_F(CreateTest, HardLinkTableIsEmptiedByReset) {
    UnixInfo info;
    info.ino = 77;
    info.nlink = 3;
    EXPECT_EQ(CreateFile("one", &info), 0);
    HardLinkersReset(&ws_cntl);  // what every DLE attach does
    EXPECT_EQ(CreateFile("two", &info), 0);
    EXPECT_NE(Lstat(In("one")).st_ino, Lstat(In("two")).st_ino);
    EXPECT_EQ(CreateFile("three", &info), 0);
    EXPECT_EQ(Lstat(In("two")).st_ino, Lstat(In("three")).st_ino);
}

TEST_F(CreateTest, HardLinkWithoutVersionedInformationIsAFile) {
    UnixInfo info;
    info.ino = 99;
    info.nlink = 2;
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "v0a", &info);
    // The 28-byte form has no inode: each name becomes a file of its own.
    dblk.os_spec_size = 28;
    EXPECT_EQ(Run(CreateObject, GRFS_CREATE_OBJ, dblk), 0);
    MakeFileDblk(&dblk, "v0b", &info);
    dblk.os_spec_size = 28;
    EXPECT_EQ(Run(CreateObject, GRFS_CREATE_OBJ, dblk), 0);
    EXPECT_NE(Lstat(In("v0a")).st_ino, Lstat(In("v0b")).st_ino);
}

// Runs body as a user that permissions bind: root acts as "nobody" in a
// child; anyone else is bound already. The result is body's retcode + 1000,
// as a child's exit status carries it.
int AsUnprivileged(const std::function<int()>& body) {
    if (geteuid() != 0) return (body() + 1000) & 0xFF;
    pid_t pid = fork();
    if (pid == 0) {
        if (setegid(65534) != 0 || seteuid(65534) != 0) _exit(1);
        const int rc = body();
        _exit((rc + 1000) & 0xFF);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) return -9999;
    return WEXITSTATUS(status);
}

// The identity AsUnprivileged runs as.
uid_t UnprivilegedUid() { return geteuid() == 0 ? 65534 : geteuid(); }
gid_t UnprivilegedGid() { return geteuid() == 0 ? 65534 : getegid(); }

// A directory the unprivileged identity owns without write permission.
void MakeReadOnlyDir(const std::string& path) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(chown(path.c_str(), UnprivilegedUid(), UnprivilegedGid()), 0);
    ASSERT_EQ(chmod(path.c_str(), 0555), 0);
}

TEST_F(CreateTest, AccessErrorRetriesWithAWritableParentAndRestoresItsMode) {
    MakeReadOnlyDir(In("ro"));
    std::snprintf(current_path_, sizeof current_path_, "ro");
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "made", nullptr);
    const int status = AsUnprivileged([&] { return Run(CreateObject, GRFS_CREATE_OBJ, dblk); });
    EXPECT_EQ(status, 1000 & 0xFF);
    EXPECT_TRUE(S_ISREG(Lstat(In("ro/made")).st_mode));
    EXPECT_EQ(Lstat(In("ro/made")).st_uid, UnprivilegedUid());
    EXPECT_EQ(Lstat(In("ro")).st_mode & 07777, 0555u);
}

TEST_F(CreateTest, AccessErrorUnderAWritableParentIsDenied) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to own a directory another user cannot write";
    ASSERT_EQ(mkdir(In("rootdir").c_str(), 0755), 0);  // owner root has write permission
    std::snprintf(current_path_, sizeof current_path_, "rootdir");
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "made", nullptr);
    const int status = AsUnprivileged([&] { return Run(CreateObject, GRFS_CREATE_OBJ, dblk); });
    EXPECT_EQ(status, (GRFS_RC_ACCESS_DENIED + 1000) & 0xFF);
    EXPECT_FALSE(Exists(In("rootdir/made")));
    EXPECT_EQ(Lstat(In("rootdir")).st_mode & 07777, 0755u);
}

TEST_F(CreateTest, AccessErrorRetryKeepsAFirstHardLinkName) {
    MakeReadOnlyDir(In("ro"));
    std::snprintf(current_path_, sizeof current_path_, "ro");
    UnixInfo info;
    info.ino = 4242;
    info.nlink = 2;
    GRFS_GEN_DBLK first, second;
    MakeFileDblk(&first, "first", &info);
    MakeFileDblk(&second, "second", &info);
    const int status = AsUnprivileged([&] {
        int rc = Run(CreateObject, GRFS_CREATE_OBJ, first);
        if (rc != 0) return rc;
        return static_cast<int>(Run(CreateObject, GRFS_CREATE_OBJ, second));
    });
    EXPECT_EQ(status, 1000 & 0xFF);
    EXPECT_EQ(Lstat(In("ro/first")).st_ino, Lstat(In("ro/second")).st_ino);
    EXPECT_EQ(Lstat(In("ro")).st_mode & 07777, 0555u);
}

}  // namespace
}  // namespace restore_test
