#include "unixfs/tree/dblk_texts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "grfs/messages.h"

namespace {

// A file block with the name at 180 as the agent lays it out.
std::unique_ptr<GRFS_GEN_DBLK> FileBlock(const char* name) {
    auto dblk = std::make_unique<GRFS_GEN_DBLK>();
    std::memset(dblk.get(), 0, sizeof(GRFS_GEN_DBLK));
    dblk->dblk_type = FDB_ID;
    dblk->find_info = 176;
    dblk->find_info_size = 4;
    uint32_t handle = 0x00020005;
    std::memcpy(dblk_bytes(dblk.get()) + 176, &handle, 4);
    dblk->type_part.fdb.name = 180;
    dblk->type_part.fdb.os_name = 180;
    size_t len = std::strlen(name);
    std::memcpy(dblk_bytes(dblk.get()) + 180, name, len + 1);
    dblk->dblk_actual_size = static_cast<uint16_t>(180 + len + 1 + 56);
    return dblk;
}

std::unique_ptr<GRFS_GEN_DBLK> DirBlock(const char* path) {
    auto dblk = FileBlock(path);
    dblk->dblk_type = DDB_ID;
    dblk->type_part.ddb = GRFS_DDB_PART{180, 0, 0, 180};
    return dblk;
}

TEST(DblkTexts, NameAndPathAreTakenByBlockType) {
    std::string_view text;
    auto file = FileBlock("abc");
    ASSERT_EQ(DblkFileName(file.get(), &text), 0);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(DblkDirPath(file.get(), &text), GRFS_RC_WRONG_DBLK_TYPE);

    auto dir = DirBlock("x/abc");
    ASSERT_EQ(DblkDirPath(dir.get(), &text), 0);
    EXPECT_EQ(text, "x/abc");
    EXPECT_EQ(DblkFileName(dir.get(), &text), GRFS_RC_WRONG_DBLK_TYPE);
    ASSERT_EQ(DblkObjectText(dir.get(), &text), 0);
    EXPECT_EQ(text, "x/abc");

    dir->dblk_type = VCB_ID;
    EXPECT_EQ(DblkObjectText(dir.get(), &text), GRFS_RC_WRONG_DBLK_TYPE);
}

TEST(DblkTexts, EmptyTextIsAText) {
    std::string_view text = "unchanged";
    auto dir = DirBlock("");
    ASSERT_EQ(DblkDirPath(dir.get(), &text), 0);
    EXPECT_TRUE(text.empty());
}

TEST(DblkTexts, BlockSizeMustCoverTheFixedPartAndFitTheRecord) {
    auto file = FileBlock("abc");
    EXPECT_EQ(CheckDblkSize(file.get()), 0);
    file->dblk_actual_size = 175;
    EXPECT_EQ(CheckDblkSize(file.get()), GRFS_RC_INVALID_REQUEST);
    file->dblk_actual_size = sizeof(GRFS_GEN_DBLK) + 1;
    EXPECT_EQ(CheckDblkSize(file.get()), GRFS_RC_INVALID_REQUEST);
    std::string_view text;
    EXPECT_EQ(DblkFileName(file.get(), &text), GRFS_RC_INVALID_REQUEST);
    file->dblk_actual_size = sizeof(GRFS_GEN_DBLK);
    EXPECT_EQ(CheckDblkSize(file.get()), 0);
}

TEST(DblkTexts, TextsOutsideTheBlockOrUnterminatedAreRefused) {
    std::string_view text;
    auto file = FileBlock("abc");
    // Offset inside the fixed part.
    file->type_part.fdb.name = 2;
    EXPECT_EQ(DblkFileName(file.get(), &text), GRFS_RC_INVALID_REQUEST);
    // Offset at or past the block's end.
    file->type_part.fdb.name = file->dblk_actual_size;
    EXPECT_EQ(DblkFileName(file.get(), &text), GRFS_RC_INVALID_REQUEST);
    file->type_part.fdb.name = 0xFFFF;
    EXPECT_EQ(DblkFileName(file.get(), &text), GRFS_RC_INVALID_REQUEST);
    // Zero byte only past dblk_actual_size: the block ends inside the text.
    file->type_part.fdb.name = 180;
    file->dblk_actual_size = 183;  // "abc" without its zero
    EXPECT_EQ(DblkFileName(file.get(), &text), GRFS_RC_INVALID_REQUEST);
    file->dblk_actual_size = 184;
    ASSERT_EQ(DblkFileName(file.get(), &text), 0);
    EXPECT_EQ(text, "abc");
    // A block filled to the record's end with no zero at all.
    auto full = FileBlock("a");
    std::memset(dblk_bytes(full.get()) + 180, 'a', sizeof(GRFS_GEN_DBLK) - 180);
    full->dblk_actual_size = sizeof(GRFS_GEN_DBLK);
    EXPECT_EQ(DblkFileName(full.get(), &text), GRFS_RC_INVALID_REQUEST);
}

TEST(DblkTexts, DotDotComponentsAreRefused) {
    std::string_view text;
    for (const char* bad : {"..", "../etc", "a/../../b", "a/.."}) {
        auto dir = DirBlock(bad);
        EXPECT_EQ(DblkConfinedObjectText(dir.get(), &text), GRFS_RC_ACCESS_DENIED) << bad;
        auto file = FileBlock(bad);
        EXPECT_EQ(DblkConfinedObjectText(file.get(), &text), GRFS_RC_ACCESS_DENIED) << bad;
    }
    for (const char* good : {"..a", "a..", "...", "a/.b/c", "."}) {
        auto dir = DirBlock(good);
        ASSERT_EQ(DblkConfinedObjectText(dir.get(), &text), 0) << good;
        EXPECT_EQ(text, good);
    }
    EXPECT_EQ(CheckNoDotDot(""), 0);
}

TEST(DblkTexts, FindHandleMustLieInsideTheBlock) {
    uint32_t handle = 0;
    auto file = FileBlock("abc");
    ASSERT_EQ(DblkFindHandle(file.get(), &handle), 0);
    EXPECT_EQ(handle, 0x00020005u);
    file->find_info_size = 3;
    EXPECT_EQ(DblkFindHandle(file.get(), &handle), GRFS_RC_NOT_FOUND);
    file->find_info_size = 4;
    file->find_info = 0;
    EXPECT_EQ(DblkFindHandle(file.get(), &handle), GRFS_RC_NOT_FOUND);
    file->find_info = file->dblk_actual_size - 3;
    EXPECT_EQ(DblkFindHandle(file.get(), &handle), GRFS_RC_NOT_FOUND);
    file->find_info = file->dblk_actual_size - 4;
    EXPECT_EQ(DblkFindHandle(file.get(), &handle), 0);
}

TEST(DblkTexts, RangeChecksDoNotWrap) {
    auto file = FileBlock("abc");
    EXPECT_TRUE(DblkRangeInside(file.get(), 176, 4));
    EXPECT_TRUE(DblkRangeInside(file.get(), 184, 56));
    EXPECT_FALSE(DblkRangeInside(file.get(), 184, 57));
    EXPECT_FALSE(DblkRangeInside(file.get(), 0xFFFFFFF0u, 0x20));
    EXPECT_FALSE(DblkRangeInside(file.get(), 180, 0xFFFFFFFFu));
}

}  // namespace
