// Blocks the agent lists during a backup verify unchanged against the same
// objects, and the hard-link table lives for one attach: handlers run on a
// session attached the way a server attaches.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "find_fixture.h"
#include "unixfs/session/hard_links.h"
#include "unixfs/requests/object_create.h"
#include "unixfs/requests/verify_info.h"

namespace find_test {
namespace {

struct Listed {
    std::string dir;  // current directory the block was listed in
    std::unique_ptr<GRFS_GEN_DBLK> dblk;
};

class VerifyBackupTest : public FindFixture {
protected:
    // Walks the tree below dir as a backup server does, every block kept.
    void Walk(uint32_t dle_id, const std::string& dir, std::vector<Listed>* out) {
        ASSERT_EQ(ChangeDirTo(dle_id, dir), 0) << dir;
        std::vector<std::string> subdirs;
        if (FindFirst(dle_id) != 0) return;
        for (;;) {
            auto copy = SaveDblk();
            if (copy->dblk_type == DDB_ID) subdirs.push_back(DblkText(*copy));
            out->push_back({dir, SaveDblk()});
            if (FindNext(dle_id, *copy) != 0) break;
        }
        for (const auto& sub : subdirs) Walk(dle_id, sub, out);
    }

    int16_t Dblk(int (*handler)(GRFS_SESSION*, GRFS_MESSAGE*, int), uint8_t type, uint32_t dle_id,
                 const GRFS_GEN_DBLK& dblk) {
        auto req = NewMessage(type);
        req->body.dblk_req.dle_id = dle_id;
        std::memcpy(&req->body.dblk_req.dblk, &dblk, dblk.dblk_actual_size);
        std::memset(&reply_->hdr, 0xEE, sizeof reply_->hdr);
        handler(&ses_, req.get(), 8 + 4 + dblk.dblk_actual_size);
        EXPECT_EQ(reply_->hdr.msg_type, type + GRFS_REPLY_OFFSET);
        return reply_->hdr.retcode;
    }

    int16_t VerifyIn(uint32_t dle_id, const Listed& listed) {
        EXPECT_EQ(ChangeDirTo(dle_id, listed.dir), 0);
        return Dblk(VerifyObjectInfo, GRFS_VERIFY_OBJ_INFO, dle_id, *listed.dblk);
    }

    static void Write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }
};

TEST_F(VerifyBackupTest, EveryListedBlockVerifiesUntilItsObjectChanges) {
    fs::create_directories(export_ / "a" / "b");
    Write(export_ / "one", "first file");
    Write(export_ / "a" / "two", "second file, longer");
    Write(export_ / "a" / "b" / "three", "");
    fs::create_symlink("one", export_ / "lnk");
    ASSERT_EQ(mkfifo((export_ / "a" / "fifo").c_str(), 0640), 0);
    ASSERT_EQ(chmod((export_ / "a" / "two").c_str(), 0640), 0);
    const uint32_t dle_id = AttachExport();

    std::vector<Listed> listed;
    Walk(dle_id, "", &listed);
    ASSERT_EQ(listed.size(), 7u);  // one, lnk, a, a/two, a/fifo, a/b, three
    for (const auto& item : listed) {
        EXPECT_NE(item.dblk->gen_attr & 0x20, 0u);
        EXPECT_EQ(VerifyIn(dle_id, item), 0) << item.dir << " " << DblkText(*item.dblk);
    }

    // One file grows, another loses its read permissions.
    Write(export_ / "one", "first file, changed");
    ASSERT_EQ(chmod((export_ / "a" / "two").c_str(), 0200), 0);
    ASSERT_EQ(unlink((export_ / "a" / "b" / "three").c_str()), 0);
    for (const auto& item : listed) {
        const std::string name = DblkText(*item.dblk);
        int16_t expected = 0;
        if (name == "one" || name == "two") expected = GRFS_RC_VERIFY_MISMATCH;
        if (name == "three") expected = GRFS_RC_BAD_OBJ_HANDLE;
        EXPECT_EQ(VerifyIn(dle_id, item), expected) << item.dir << " " << name;
    }
}

TEST_F(VerifyBackupTest, LinksListedAsDirectoriesVerifyAsDirectories) {
    fs::create_directories(export_ / "real");
    Write(export_ / "real" / "f", "x");
    fs::create_directory_symlink("real", export_ / "alias");
    ws_cntl.follow_symdirs = 1;
    const uint32_t dle_id = AttachExport();
    std::vector<Listed> listed;
    ASSERT_EQ(ChangeDirTo(dle_id, ""), 0);
    ASSERT_EQ(FindFirst(dle_id), 0);
    for (;;) {
        listed.push_back({"", SaveDblk()});
        auto last = SaveDblk();
        if (FindNext(dle_id, *last) != 0) break;
    }
    ASSERT_EQ(listed.size(), 2u);
    for (const auto& item : listed) {
        EXPECT_EQ(item.dblk->dblk_type, DDB_ID) << DblkText(*item.dblk);
        EXPECT_EQ(VerifyIn(dle_id, item), 0) << DblkText(*item.dblk);
    }
}

TEST_F(VerifyBackupTest, HardLinkTableIsEmptiedByEveryDleAttach) {
    const uint32_t dle_id = AttachExport();
    const fs::path first = export_ / "first";
    Write(first, "data");
    struct stat st;
    ASSERT_EQ(stat(first.c_str(), &st), 0);
    ASSERT_EQ(link(first.c_str(), (export_ / "other").c_str()), 0);

    // Restore the second name of the listed pair: it links to the first.
    std::vector<Listed> listed;
    Walk(dle_id, "", &listed);
    ASSERT_EQ(listed.size(), 2u);
    const GRFS_GEN_DBLK* first_dblk = nullptr;
    for (const auto& item : listed) {
        if (DblkText(*item.dblk) == "first") first_dblk = item.dblk.get();
    }
    ASSERT_NE(first_dblk, nullptr);
    ASSERT_EQ(ChangeDirTo(dle_id, ""), 0);
    EXPECT_EQ(Dblk(CreateObject, GRFS_CREATE_OBJ, dle_id, *first_dblk), 0);
    Write(first, "restored");
    fs::remove(export_ / "other");
    GRFS_GEN_DBLK second = *first_dblk;
    // Same information, another name of the same length.
    std::memcpy(dblk_bytes(&second) + second.type_part.fdb.name, "other", 5);
    EXPECT_EQ(Dblk(CreateObject, GRFS_CREATE_OBJ, dle_id, second), 0);
    struct stat a, b;
    ASSERT_EQ(stat(first.c_str(), &a), 0);
    ASSERT_EQ(stat((export_ / "other").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);

    // A new attach starts a new table: the same key makes a file of its own.
    EXPECT_EQ(Attach("EXPORT", "", ws_id_), 0);
    const uint32_t again = reply_->body.attach_dle_stat.dle_id;
    fs::remove(export_ / "other");
    EXPECT_EQ(Dblk(CreateObject, GRFS_CREATE_OBJ, again, second), 0);
    ASSERT_EQ(stat((export_ / "other").c_str(), &b), 0);
    EXPECT_NE(a.st_ino, b.st_ino);
    HardLinkersReset(&ws_cntl);  // the fixture clears ws_cntl, table and all
}

}  // namespace
}  // namespace find_test
