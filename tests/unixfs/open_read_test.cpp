// Opening objects and reading their byte sequence: data streams of every
// size class, the link record, devices, FIFOs, locking, the permission
// retry, records and handles, confinement and write protection.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dispatch_record.h"
#include "mount/mount_list.h"
#include "object_io_fixture.h"
#include "unixfs/object/object_files.h"
#include "unixfs/host/file_read.h"
#include "unixfs/object/object_symlink.h"

namespace io_test {
namespace {

using OpenRead = ObjectIoTest;

TEST_F(OpenRead, FilesOfEverySizeClassReadWholeWithHeaderAndEndCode) {
    const size_t sizes[] = {0, 1, 31743, 31744, 31745, 3 * 1024 * 1024 + 4097};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const auto bytes = RandomBytes(size, static_cast<unsigned>(size));
        WriteFile(Export("f"), bytes);
        // Large reads of the whole buffer, odd-sized large reads, plain reads.
        const struct {
            uint32_t ask;
            bool large;
        } ways[] = {{31744, true}, {1000, true}, {4097, false}, {65535, false}};
        for (auto way : ways) {
            SCOPED_TRACE(way.ask);
            uint32_t obj = 0;
            ASSERT_EQ(OpenFile("f", OPEN_MODE_READ, true, &obj), 0);
            FILE_MEMORY* rec = LookupOpenObject(ses_.get(), obj);
            ASSERT_NE(rec, nullptr);
            EXPECT_EQ(AsU64(rec->total_size), size);
            EXPECT_EQ(rec->preread_datasize, std::min<size_t>(size, 31744));  // primed after the reply
            auto got = ReadAll(obj, way.ask, STRM_STANDARD, size, way.large);
            EXPECT_TRUE(got == bytes);
            // Past the end: -500, no bytes, no header.
            READ_REPLY past = way.large ? ReadLarge(obj, 512, size) : Read(obj, 512, static_cast<uint32_t>(size));
            EXPECT_EQ(past.retcode, GRFS_RC_END_OF_DATA);
            EXPECT_EQ(past.size, 0u);
            EXPECT_EQ(past.stream_id, 0u);
            EXPECT_EQ(Close(obj), 0);
        }
    }
}

TEST_F(OpenRead, EmptyFileFirstReadIsEndOfObjectWithNothing) {
    WriteFile(Export("empty"), {});
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("empty", OPEN_MODE_READ, true, &obj), 0);
    READ_REPLY r = ReadLarge(obj, 31744, 0);
    EXPECT_EQ(r.retcode, GRFS_RC_END_OF_DATA);
    EXPECT_EQ(r.size, 0u);
    EXPECT_EQ(r.stream_id, 0u);
    EXPECT_EQ(r.body_size, 24);
}

TEST_F(OpenRead, OpenReplyCarriesHandleAndTheRequestDblkUnchanged) {
    WriteFile(Export("abc"), RandomBytes(10, 1));
    struct stat st;
    ASSERT_EQ(lstat(Export("abc").c_str(), &st), 0);
    GRFS_GEN_DBLK sent;
    BuildFileDblk(&sent, "abc", &st);
    BuildFileDblk(&req_->body.open_obj.dblk, "abc", &st);
    uint32_t obj = 0;
    ASSERT_EQ(SendOpen(OPEN_MODE_READ, &obj), 0);
    EXPECT_NE(obj, 0u);
    EXPECT_EQ(sent.dblk_actual_size, 240);  // 176 + 4 + 4 + 56
    EXPECT_EQ(sent_.last_body_size, 4 + 240);
    EXPECT_EQ(std::memcmp(&reply_->body.open_obj_stat.dblk, &sent, sent.dblk_actual_size), 0);
}

TEST_F(OpenRead, LinkReadsAsItsEaRecord) {
    ASSERT_EQ(symlink("abc", Export("l").c_str()), 0);
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("l", OPEN_MODE_READ, true, &obj), 0);
    FILE_MEMORY* rec = LookupOpenObject(ses_.get(), obj);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->data_hand, -1);
    EXPECT_EQ(AsU64(rec->total_size), 10u);
    READ_REPLY r = ReadLarge(obj, 31744, 0);
    EXPECT_EQ(r.retcode, GRFS_RC_END_OF_DATA);
    EXPECT_EQ(r.stream_id, STRM_UNIX_EA);
    EXPECT_EQ(r.stream_size, 10u);
    ASSERT_EQ(r.size, 10u);
    uint32_t length;
    std::memcpy(&length, r.data.data(), 4);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(std::memcmp(r.data.data() + 4, "l\0abc\0", 6), 0);
}

TEST_F(OpenRead, LinkRecordWireBytesSpellTheStreamId) {
    ASSERT_EQ(symlink("abc", Export("l").c_str()), 0);
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("l", OPEN_MODE_READ, true, &obj), 0);
    req_->hdr.request_id = 0x01020304;
    req_->hdr.msg_type = GRFS_READ_OBJ_LARGE;
    req_->body.read_obj_large.obj_id = obj;
    req_->body.read_obj_large.size = 100;
    req_->body.read_obj_large.offset = UINT64{};
    ReadObjectLarge(ses_.get(), req_.get(), 16);
    ASSERT_EQ(sent_.last_body_size, 34);
    unsigned char wire[64] = {};
    GRFS_XDR xdr{};
    grfs_set_xdr_buffer(&xdr, wire, sizeof wire);
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    ASSERT_EQ(grfs_xdr_message(&xdr, reply_.get(), 34), 34);
    const unsigned char expected[42] = {
        89, 0, 0x0C, 0xFE, 0x04, 0x03, 0x02, 0x01,  // header: type 89, retcode -500, request id
        10, 0, 0, 0, 1, 0, 0, 0,                    // size 10, blk_size 1
        'O', '2', 'N', 'U', 0, 0, 0, 0,             // stream id, attrib, reserved
        10, 0, 0, 0, 0, 0, 0, 0,                    // stream size
        10, 0, 0, 0, 'l', 0, 'a', 'b', 'c', 0};     // the link record
    EXPECT_EQ(std::memcmp(wire, expected, sizeof expected), 0);
}

TEST_F(OpenRead, ReadInsideTheEaStreamGoesOnWithoutHeader) {
    ASSERT_EQ(symlink("abcdef", Export("lnk").c_str()), 0);
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("lnk", OPEN_MODE_READ, true, &obj), 0);
    READ_REPLY first = ReadLarge(obj, 4, 0);
    EXPECT_EQ(first.retcode, 0);
    EXPECT_EQ(first.stream_id, STRM_UNIX_EA);
    EXPECT_EQ(first.stream_size, 4u + 4 + 7);
    READ_REPLY rest = ReadLarge(obj, 100, 4);
    EXPECT_EQ(rest.retcode, GRFS_RC_END_OF_DATA);
    EXPECT_EQ(rest.stream_id, 0u);
    ASSERT_EQ(rest.size, 11u);
    EXPECT_EQ(std::memcmp(rest.data.data(), "lnk\0abcdef\0", 11), 0);
}

TEST_F(OpenRead, DevicesOpenWithoutDescriptorAndReadEmpty) {
    if (geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
    ASSERT_EQ(mknod(Export("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    for (bool with_info : {true, false}) {
        SCOPED_TRACE(with_info);
        uint32_t obj = 0;
        ASSERT_EQ(OpenFile("null", OPEN_MODE_READ, with_info, &obj), 0);
        FILE_MEMORY* rec = LookupOpenObject(ses_.get(), obj);
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->data_hand, -1);
        READ_REPLY r = ReadLarge(obj, 512, 0);
        EXPECT_EQ(r.retcode, GRFS_RC_END_OF_DATA);
        EXPECT_EQ(r.size, 0u);
        EXPECT_EQ(r.stream_id, 0u);
        EXPECT_EQ(Close(obj), 0);
    }
}

TEST_F(OpenRead, FifoOpenIsAnsweredWithOneAndNeverWaits) {
    ASSERT_EQ(mkfifo(Export("fifo").c_str(), 0644), 0);
    for (bool with_info : {true, false}) {
        SCOPED_TRACE(with_info);
        uint32_t obj = 7;
        EXPECT_EQ(OpenFile("fifo", OPEN_MODE_READ, with_info, &obj), 1);
        EXPECT_EQ(obj, 0u);
        EXPECT_EQ(sent_.last_body_size, 4);
        EXPECT_EQ(ses_->object_list.count, 0);
        EXPECT_EQ(ses_->default_object_in_use, 0);
    }
}

TEST_F(OpenRead, BadDblkTypeAndBadHandlesAreRefused) {
    WriteFile(Export("f"), RandomBytes(3, 3));
    BuildFileDblk(&req_->body.open_obj.dblk, "f", nullptr);
    req_->body.open_obj.dblk.dblk_type = VCB_ID;
    uint32_t obj = 9;
    EXPECT_EQ(SendOpen(OPEN_MODE_READ, &obj), GRFS_RC_WRONG_DBLK_TYPE);
    EXPECT_EQ(obj, 0u);
    EXPECT_EQ(sent_.last_body_size, 4);
    EXPECT_EQ(ses_->object_list.count, 0);

    dle_id_ = 0x7777;  // names no attachment
    EXPECT_EQ(OpenFile("f"), GRFS_RC_BAD_DLE_HANDLE);
    EXPECT_EQ(sent_.last_body_size, 0);
}

TEST_F(OpenRead, DblkWithTextOutsideTheBlockIsRefused) {
    WriteFile(Export("f"), RandomBytes(3, 3));
    BuildFileDblk(&req_->body.open_obj.dblk, "f", nullptr);
    req_->body.open_obj.dblk.type_part.fdb.name = 3000;  // past dblk_actual_size
    EXPECT_EQ(SendOpen(OPEN_MODE_READ), GRFS_RC_INVALID_REQUEST);
    BuildFileDblk(&req_->body.open_obj.dblk, "f", nullptr);
    req_->body.open_obj.dblk.dblk_actual_size = 181;  // cuts the name's zero off
    EXPECT_EQ(SendOpen(OPEN_MODE_READ), GRFS_RC_INVALID_REQUEST);
}

TEST_F(OpenRead, MissingFileIsNoSuchFile) {
    EXPECT_EQ(OpenFile("nothing", OPEN_MODE_READ, false), GRFS_RC_NO_SUCH_FILE);
    EXPECT_EQ(ses_->object_list.count, 0);
}

TEST_F(OpenRead, TwoObjectsAtOnceThenTheSessionRecordAgain) {
    WriteFile(Export("a"), RandomBytes(100, 1));
    WriteFile(Export("b"), RandomBytes(200, 2));
    uint32_t a = 0, b = 0;
    ASSERT_EQ(OpenFile("a", OPEN_MODE_READ, true, &a), 0);
    ASSERT_EQ(OpenFile("b", OPEN_MODE_READ, true, &b), 0);
    EXPECT_EQ(LookupOpenObject(ses_.get(), a), ses_->default_object);
    ASSERT_NE(LookupOpenObject(ses_.get(), b), nullptr);
    EXPECT_EQ(LookupOpenObject(ses_.get(), b)->mem_kind, MEM_KIND_ALLOCATED);
    EXPECT_EQ(ses_->object_list.count, 2);
    // Interleaved reads keep each object's own position and buffer.
    EXPECT_TRUE(ReadAll(b, 64, STRM_STANDARD, 200) == RandomBytes(200, 2));
    EXPECT_TRUE(ReadAll(a, 64, STRM_STANDARD, 100) == RandomBytes(100, 1));
    EXPECT_EQ(Close(a), 0);
    EXPECT_EQ(Close(b), 0);
    EXPECT_EQ(ses_->default_object_in_use, 0);
    EXPECT_EQ(ses_->object_list.count, 0);

    uint32_t c = 0;
    ASSERT_EQ(OpenFile("b", OPEN_MODE_READ, true, &c), 0);
    EXPECT_EQ(LookupOpenObject(ses_.get(), c), ses_->default_object);
    EXPECT_NE(c, a);  // a new handle for the reused record
}

TEST_F(OpenRead, ClosedHandleIsRefusedByCloseReadAndSeek) {
    WriteFile(Export("f"), RandomBytes(100, 1));
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("f", OPEN_MODE_READ, true, &obj), 0);
    EXPECT_EQ(Close(obj), 0);
    EXPECT_EQ(Close(obj), GRFS_RC_BAD_OBJ_HANDLE);
    READ_REPLY r = ReadLarge(obj, 10, 0);
    EXPECT_EQ(r.retcode, GRFS_RC_BAD_OBJ_HANDLE);
    EXPECT_EQ(r.body_size, 0);
    r = Read(obj, 10, 0);
    EXPECT_EQ(r.retcode, GRFS_RC_BAD_OBJ_HANDLE);
    uint64_t distance = 5;
    EXPECT_EQ(SeekLarge(obj, 10, &distance), GRFS_RC_BAD_OBJ_HANDLE);
    EXPECT_EQ(sent_.last_body_size, 0);
    EXPECT_EQ(Close(0), GRFS_RC_BAD_OBJ_HANDLE);
    EXPECT_EQ(Close(dle_id_), GRFS_RC_BAD_OBJ_HANDLE);  // a live handle of another kind
}

TEST_F(OpenRead, ReadsAreBoundedByTheObjectBufferSize) {
    const auto bytes = RandomBytes(100000, 4);
    WriteFile(Export("big"), bytes);
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("big", OPEN_MODE_READ, true, &obj), 0);
    READ_REPLY r = ReadLarge(obj, 1000000, 0);
    EXPECT_EQ(r.retcode, 0);
    EXPECT_EQ(r.size, 31744u);
    gb_grfs_config.object_buffer_size = 8192;
    READ_REPLY s = ReadLarge(obj, 0xFFFFFFFF, 31744);
    EXPECT_EQ(s.size, 8192u);
    std::vector<unsigned char> got = r.data;
    got.insert(got.end(), s.data.begin(), s.data.end());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
}

TEST_F(OpenRead, DirectoriesOpenBelowTheRootAndReadEmpty) {
    fs::create_directories(Export("sub/deeper"));
    for (const char* path : {"", "sub", "sub/deeper"}) {
        SCOPED_TRACE(path);
        uint32_t obj = 0;
        ASSERT_EQ(OpenDir(path, OPEN_MODE_READ, &obj), 0);
        FILE_MEMORY* rec = LookupOpenObject(ses_.get(), obj);
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->dblktype, DDB_ID);
        EXPECT_EQ(AsU64(rec->total_size), 0u);
        READ_REPLY r = ReadLarge(obj, 100, 0);
        EXPECT_EQ(r.retcode, GRFS_RC_END_OF_DATA);
        EXPECT_EQ(r.size, 0u);
        uint32_t distance = 9;
        Seek(obj, 100, &distance);
        EXPECT_EQ(sent_.last_body_size, 0);  // no distance for a directory
        EXPECT_EQ(Close(obj), 0);
    }
    EXPECT_EQ(OpenDir("missing"), GRFS_RC_NO_SUCH_FILE);
}

// ---- locking ----

// A child process that holds a write lock on path until it is told to go.
class WriteLockHolder {
public:
    explicit WriteLockHolder(const char* path) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(release_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release_[1]);
            int fd = open(path, O_RDWR);
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            char ok = (fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0) ? 'y' : 'n';
            if (write(ready[1], &ok, 1) != 1) _exit(1);
            char c;
            while (read(release_[0], &c, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(release_[0]);
        char ok = 'n';
        if (read(ready[0], &ok, 1) == 1) locked_ = ok == 'y';
        close(ready[0]);
    }
    ~WriteLockHolder() {
        if (pid_ > 0) {
            close(release_[1]);
            int status;
            waitpid(pid_, &status, 0);
        }
    }
    bool locked() const { return locked_; }

private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
    bool locked_ = false;
};

TEST_F(OpenRead, WriteLockedFileIsRefusedUnlessLockingIsWaived) {
    WriteFile(Export("locked"), RandomBytes(50, 5));
    WriteLockHolder holder(Export("locked").c_str());
    ASSERT_TRUE(holder.locked());

    EXPECT_EQ(OpenFile("locked"), GRFS_RC_INVALID_REQUEST);
    EXPECT_EQ(ses_->object_list.count, 0);
    EXPECT_EQ(OpenFile("locked", OPEN_MODE_VERIFY), GRFS_RC_INVALID_REQUEST);

    // no_nfs_locking on a local file does not help.
    dle_->no_nfs_locking = 1;
    EXPECT_EQ(OpenFile("locked"), GRFS_RC_INVALID_REQUEST);
    dle_->no_nfs_locking = 0;

    uint32_t obj = 0;
    drvdle_->vsc_flags = kVscNoLocking;
    ASSERT_EQ(OpenFile("locked", OPEN_MODE_READ, true, &obj), 0);
    EXPECT_TRUE(ReadAll(obj, 100, STRM_STANDARD, 50) == RandomBytes(50, 5));
    EXPECT_EQ(Close(obj), 0);
    drvdle_->vsc_flags = 0;

    dle_->no_backup_locking = 1;
    ASSERT_EQ(OpenFile("locked", OPEN_MODE_READ, true, &obj), 0);
    EXPECT_EQ(Close(obj), 0);
}

TEST_F(OpenRead, NoNfsLockingWaivesTheLockOnARemoteFile) {
    WriteFile(Export("locked"), RandomBytes(50, 5));
    WriteLockHolder holder(Export("locked").c_str());
    ASSERT_TRUE(holder.locked());
    // A mount table that says the export lies on NFS, and a root device
    // other than the file's, so that the mount lists are asked.
    const fs::path table = base_ / "mounts";
    {
        std::ofstream out(table);
        out << "server:/vol " << Export().string() << " nfs rw 0 0\n";
    }
    const std::string saved_table = get_mount_table_path();
    const dev_t saved_root = gb_root_dev_id;
    set_mount_table_path(table.c_str());
    free_mount_lists();
    build_mount_list();
    gb_root_dev_id = static_cast<dev_t>(-1);

    EXPECT_EQ(OpenFile("locked"), GRFS_RC_INVALID_REQUEST);  // the lock still counts without the option
    dle_->no_nfs_locking = 1;
    uint32_t obj = 0;
    EXPECT_EQ(OpenFile("locked", OPEN_MODE_READ, true, &obj), 0);
    if (obj != 0) {
        EXPECT_EQ(Close(obj), 0);
    }

    gb_root_dev_id = saved_root;
    free_mount_lists();
    set_mount_table_path(saved_table.c_str());
}

TEST_F(OpenRead, ReadLockDoesNotStopOtherReaders) {
    WriteFile(Export("shared"), RandomBytes(10, 6));
    uint32_t a = 0, b = 0;
    ASSERT_EQ(OpenFile("shared", OPEN_MODE_READ, true, &a), 0);
    ASSERT_EQ(OpenFile("shared", OPEN_MODE_READ, true, &b), 0);
    // Another process can read-lock it too.
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(Export("shared").c_str(), O_RDONLY);
        struct flock lock {};
        lock.l_type = F_RDLCK;
        lock.l_whence = SEEK_SET;
        _exit(fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// ---- the permission retry ----

TEST_F(OpenRead, ReadOnlyFileOpensForWriteAndKeepsItsMode) {
    // Only a non-root identity meets EACCES: as root the file goes to
    // another user and a child takes that user's identity.
    const bool root = geteuid() == 0;
    const uid_t user = root ? 65534 : geteuid();
    const gid_t group = root ? 65534 : getegid();
    WriteFile(Export("ro"), RandomBytes(20, 7));
    if (root) {
        ASSERT_EQ(chown(Export("ro").c_str(), user, group), 0);
    }
    ASSERT_EQ(chmod(Export("ro").c_str(), 0444), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (root && (setegid(group) != 0 || seteuid(user) != 0)) _exit(10);
        if (faccessat(AT_FDCWD, Export("ro").c_str(), W_OK, AT_EACCESS) == 0) _exit(11);
        uint32_t obj = 0;
        int16_t rc = OpenFile("ro", OPEN_MODE_WRITE, true, &obj);
        if (rc != 0) _exit(12);
        FILE_MEMORY* rec = LookupOpenObject(ses_.get(), obj);
        if (rec == nullptr || write(rec->data_hand, "new", 3) != 3) _exit(13);
        Close(obj);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    struct stat st;
    ASSERT_EQ(stat(Export("ro").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(st.st_size, 3);  // truncated, then written through the retried open
}

TEST_F(OpenRead, PermissionRetryNeverTouchesALink) {
    WriteFile(base_ / "outside/t", RandomBytes(4, 1));
    ASSERT_EQ(chmod((base_ / "outside/t").c_str(), 0444), 0);
    ASSERT_EQ(symlink((base_ / "outside/t").c_str(), Export("l").c_str()), 0);
    EXPECT_EQ(OpenFile("l", OPEN_MODE_WRITE, false), GRFS_RC_ACCESS_DENIED);
    struct stat st;
    ASSERT_EQ(stat((base_ / "outside/t").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(st.st_size, 4);
}

// ---- write opens ----

TEST_F(OpenRead, WriteOpenCreatesOrTruncates) {
    uint32_t obj = 0;
    BuildFileDblk(&req_->body.open_obj.dblk, "new", nullptr);
    req_->body.open_obj.dblk.size = ToU64(1234);
    ASSERT_EQ(SendOpen(OPEN_MODE_WRITE, &obj), 0);
    FILE_MEMORY* rec = LookupOpenObject(ses_.get(), obj);
    ASSERT_NE(rec, nullptr);
    EXPECT_GE(rec->data_hand, 0);
    EXPECT_EQ(AsU64(rec->data_size), 1234u);
    EXPECT_EQ(AsU64(rec->total_size), 0u);
    EXPECT_TRUE(fs::is_regular_file(Export("new")));
    EXPECT_EQ(Close(obj), 0);

    WriteFile(Export("old"), RandomBytes(99, 8));
    ASSERT_EQ(OpenFile("old", OPEN_MODE_WRITE, false, &obj), 0);
    EXPECT_EQ(fs::file_size(Export("old")), 0u);
    EXPECT_EQ(Close(obj), 0);
}

TEST_F(OpenRead, WriteOpenNeverFollowsALink) {
    WriteFile(base_ / "outside/target", RandomBytes(30, 9));
    ASSERT_EQ(symlink((base_ / "outside/target").c_str(), Export("l").c_str()), 0);
    EXPECT_EQ(OpenFile("l", OPEN_MODE_WRITE, false), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(fs::file_size(base_ / "outside/target"), 30u);
    ws_cntl.follow_symdirs = 1;  // not even then
    EXPECT_EQ(OpenFile("l", OPEN_MODE_WRITE, false), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(fs::file_size(base_ / "outside/target"), 30u);
}

TEST_F(OpenRead, WriteProtectedExportRefusesWriteOpensAndChangesNothing) {
    WriteFile(Export("keep"), RandomBytes(40, 10));
    fs::create_directories(Export("d"));
    dle_->writable = 0;
    open_ = DispatchRecord;
    EXPECT_EQ(OpenFile("keep", OPEN_MODE_WRITE, true), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(fs::file_size(Export("keep")), 40u);
    EXPECT_EQ(OpenFile("absent", OPEN_MODE_WRITE, false), GRFS_RC_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(Export("absent")));
    EXPECT_EQ(OpenDir("d", OPEN_MODE_WRITE), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(ses_->object_list.count, 0);
    uint32_t obj = 0;
    EXPECT_EQ(OpenFile("keep", OPEN_MODE_READ, true, &obj), 0);  // reading stays allowed
}

// A restore's link record arrives in the EA stream; the link is made at close.
void PutLinkRecord(FILE_MEMORY* rec, const std::string& name, const std::string& target) {
    uint32_t length = static_cast<uint32_t>(4 + name.size() + 1 + target.size() + 1);
    std::memcpy(rec->ea_space, &length, 4);
    std::memcpy(rec->ea_space + 4, name.c_str(), name.size() + 1);
    std::memcpy(rec->ea_space + 4 + name.size() + 1, target.c_str(), target.size() + 1);
    rec->ea_space_pos = ToU64(length);
    rec->symlink_pending = 1;
}

TEST_F(OpenRead, PendingLinkIsMadeAtCloseReplacingAnOldName) {
    struct stat link_st {};
    link_st.st_mode = S_IFLNK | 0777;
    link_st.st_size = 6;
    WriteFile(Export("ln"), RandomBytes(5, 11));  // an old file in its place
    for (int round = 0; round < 2; ++round) {
        BuildFileDblk(&req_->body.open_obj.dblk, "ln", &link_st);
        uint32_t obj = 0;
        ASSERT_EQ(SendOpen(OPEN_MODE_WRITE, &obj), 0);
        FILE_MEMORY* rec = LookupOpenObject(ses_.get(), obj);
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->data_hand, -1);
        PutLinkRecord(rec, "ln", round == 0 ? "target" : "other");
        EXPECT_EQ(Close(obj), 0);
        ASSERT_TRUE(fs::is_symlink(Export("ln")));
        EXPECT_EQ(fs::read_symlink(Export("ln")), round == 0 ? "target" : "other");
    }
}

TEST_F(OpenRead, PendingLinkNeedsAWriteOpenAndALiveAttachment) {
    WriteFile(Export("f"), RandomBytes(5, 12));
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("f", OPEN_MODE_READ, true, &obj), 0);
    PutLinkRecord(LookupOpenObject(ses_.get(), obj), "f", "x");
    EXPECT_EQ(Close(obj), 0);
    EXPECT_FALSE(fs::is_symlink(Export("f")));

    struct stat link_st {};
    link_st.st_mode = S_IFLNK | 0777;
    BuildFileDblk(&req_->body.open_obj.dblk, "gone", &link_st);
    ASSERT_EQ(SendOpen(OPEN_MODE_WRITE, &obj), 0);
    PutLinkRecord(LookupOpenObject(ses_.get(), obj), "gone", "x");
    ReleaseHandle(ses_->handles, dle_id_);  // detached meanwhile
    EXPECT_EQ(Close(obj), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Export("gone"))));
}

TEST(ObjectLinkRecord, TargetIsTakenOnlyFromACompleteRecord) {
    const unsigned char good[] = {10, 0, 0, 0, 'l', 0, 'a', 'b', 'c', 0};
    std::string_view target;
    ASSERT_TRUE(LinkRecordTarget(good, sizeof good, &target));
    EXPECT_EQ(target, "abc");
    EXPECT_FALSE(LinkRecordTarget(good, 9, &target));  // no zero after the target
    EXPECT_FALSE(LinkRecordTarget(good, 5, &target));  // no zero after the name
    EXPECT_FALSE(LinkRecordTarget(good, 4, &target));
}

// ---- confinement ----

TEST_F(OpenRead, DotDotInANameOrPathIsRefused) {
    WriteFile(base_ / "outside/secret", RandomBytes(8, 13));
    EXPECT_EQ(OpenFile("../outside/secret", OPEN_MODE_READ, false), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(OpenFile("..", OPEN_MODE_READ, false), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(OpenDir("../outside"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(OpenDir("a/../../outside"), GRFS_RC_ACCESS_DENIED);
    std::snprintf(current_path_, sizeof current_path_, "..");
    EXPECT_EQ(OpenFile("outside/secret", OPEN_MODE_READ, false), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(ses_->object_list.count, 0);
}

TEST_F(OpenRead, AbsoluteNamesStayBelowTheRoot) {
    WriteFile(Export("etc_passwd"), RandomBytes(3, 14));
    EXPECT_EQ(OpenFile("/etc/passwd", OPEN_MODE_READ, false), GRFS_RC_NO_SUCH_FILE);
    uint32_t obj = 0;
    EXPECT_EQ(OpenFile("/etc_passwd", OPEN_MODE_READ, false, &obj), 0);
}

TEST_F(OpenRead, LinkedIntermediateDirectoryIsRefusedWithoutFollowSymdirs) {
    WriteFile(base_ / "outside/secret", RandomBytes(8, 13));
    ASSERT_EQ(symlink((base_ / "outside").c_str(), Export("out").c_str()), 0);
    EXPECT_EQ(OpenFile("out/secret", OPEN_MODE_READ, false), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(OpenDir("out"), GRFS_RC_ACCESS_DENIED);
    std::snprintf(current_path_, sizeof current_path_, "out");
    EXPECT_EQ(OpenFile("secret", OPEN_MODE_READ, false), GRFS_RC_ACCESS_DENIED);

    ws_cntl.follow_symdirs = 1;
    // A link out of the export is followed only where the server cannot write.
    EXPECT_EQ(OpenFile("secret", OPEN_MODE_READ, false), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(OpenDir("out"), GRFS_RC_ACCESS_DENIED);
    dle_->writable = 0;
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("secret", OPEN_MODE_READ, false, &obj), 0);
    EXPECT_TRUE(ReadAll(obj, 100, STRM_STANDARD, 8) == RandomBytes(8, 13));
    EXPECT_EQ(Close(obj), 0);
    EXPECT_EQ(OpenDir("out"), 0);
}

TEST_F(OpenRead, LinkAsLastComponentIsNotFollowedWithoutUnixInformation) {
    WriteFile(base_ / "outside/secret", RandomBytes(8, 13));
    const std::string target = (base_ / "outside/secret").string();
    ASSERT_EQ(symlink(target.c_str(), Export("escape").c_str()), 0);

    // The agent does not know it is a link: it must not read the target.
    EXPECT_EQ(OpenFile("escape", OPEN_MODE_READ, false), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(OpenFile("escape", OPEN_MODE_VERIFY, false), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(ses_->object_list.count, 0);

    // A block claiming a regular file for a link does not get through either.
    struct stat fake {};
    fake.st_mode = S_IFREG | 0644;
    BuildFileDblk(&req_->body.open_obj.dblk, "escape", &fake);
    EXPECT_EQ(SendOpen(OPEN_MODE_READ), GRFS_RC_ACCESS_DENIED);

    // With the agent's own information the link reads as its record.
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("escape", OPEN_MODE_READ, true, &obj), 0);
    auto record = ReadAll(obj, 31744, STRM_UNIX_EA, 4 + 7 + target.size() + 1);
    ASSERT_EQ(record.size(), 4 + 7 + target.size() + 1);
    EXPECT_EQ(std::memcmp(record.data() + 4, "escape", 7), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data()) + 11), target);
    EXPECT_EQ(Close(obj), 0);
}

// ---- session end ----

TEST_F(OpenRead, ReleaseAllObjectsClosesDescriptorsAndHandles) {
    WriteFile(Export("a"), RandomBytes(10, 1));
    WriteFile(Export("b"), RandomBytes(10, 2));
    uint32_t a = 0, b = 0;
    ASSERT_EQ(OpenFile("a", OPEN_MODE_READ, true, &a), 0);
    ASSERT_EQ(OpenFile("b", OPEN_MODE_READ, true, &b), 0);
    const int fa = LookupOpenObject(ses_.get(), a)->data_hand;
    const int fb = LookupOpenObject(ses_.get(), b)->data_hand;
    ReleaseAllObjects(ses_.get());
    EXPECT_EQ(ses_->object_list.count, 0);
    EXPECT_EQ(ses_->default_object_in_use, 0);
    EXPECT_EQ(LookupOpenObject(ses_.get(), a), nullptr);
    EXPECT_EQ(LookupOpenObject(ses_.get(), b), nullptr);
    EXPECT_EQ(fcntl(fa, F_GETFD), -1);
    EXPECT_EQ(fcntl(fb, F_GETFD), -1);
    EXPECT_NE(ses_->default_object, nullptr);
}

// ---- the read routine ----

TEST(ObjectReadFileUnix, ReadErrorIsRetriedInPiecesAndReported) {
    char tmpl[] = "/tmp/readfileXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    int fd = open(tmpl, O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    unsigned char buf[1024];
    uint32_t size = sizeof buf;
    EXPECT_EQ(ReadFileUnix(fd, 0, buf, &size), GRFS_RC_ACCESS_DENIED);  // EISDIR
    EXPECT_EQ(size, 0u);
    close(fd);
    rmdir(tmpl);
}

TEST(ObjectReadFileUnix, EndOfFileAndShortReads) {
    char path[] = "/tmp/readfileXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "hello", 5), 5);
    lseek(fd, 0, SEEK_SET);
    unsigned char buf[100];
    uint32_t size = sizeof buf;
    EXPECT_EQ(ReadFileUnix(fd, 0, buf, &size), 0);
    EXPECT_EQ(size, 5u);
    size = sizeof buf;
    EXPECT_EQ(ReadFileUnix(fd, 5, buf, &size), GRFS_RC_END_OF_DATA);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(CloseFileUnix(fd), 0);
    EXPECT_EQ(CloseFileUnix(fd), GRFS_RC_BAD_DESCRIPTOR);
    unlink(path);
}

TEST(ObjectFileMemory, AllocationSizesFollowTheOpenMode) {
    FILE_MEMORY* r = AllocFileMemory(MEM_KIND_ALLOCATED, OPEN_MODE_READ);
    ASSERT_NE(r, nullptr);
    EXPECT_NE(r->preread_buf, nullptr);
    EXPECT_EQ(r->preread_bufsize, 31744u);
    EXPECT_EQ(AsU64(r->ea_space_size), 16384u);
    EXPECT_NE(r->sol_acls, nullptr);
    EXPECT_EQ(r->sol_acl_space, 0);
    FreeFileMemory(r);
    FILE_MEMORY* w = AllocFileMemory(MEM_KIND_ALLOCATED, OPEN_MODE_WRITE);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->preread_buf, nullptr);
    EXPECT_NE(w->ea_space, nullptr);
    FreeFileMemory(w);
}

}  // namespace
}  // namespace io_test
