// GRFS_PREPARE_DBLK and the name shortening under it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "unixfs/tree/dblk_texts.h"
#include "unixfs/tree/name_munge.h"
#include "unixfs/requests/object_create.h"
#include "restore_fixture.h"

namespace restore_test {
namespace {

std::string PathMunge(const std::string& in, int limit, int* length) {
    char buffer[256];
    std::memset(buffer, 'X', sizeof buffer);
    std::memcpy(buffer, in.c_str(), in.size() + 1);
    *length = unix_path_munge(buffer, buffer, limit);
    // The bytes freed at the end are zero up to the source's extent.
    for (size_t i = std::strlen(buffer); i <= in.size(); ++i) EXPECT_EQ(buffer[i], '\0') << in << " at " << i;
    return buffer;
}

TEST(NameMungeTest, PathComponentsAreCutToTheLimit) {
    int length = -1;
    EXPECT_EQ(PathMunge("abc/defghij/k", 4, &length), "abc/defg/k");
    EXPECT_EQ(length, 11);
    EXPECT_EQ(PathMunge("abcdefgh", 4, &length), "abcd");
    EXPECT_EQ(length, 5);
    EXPECT_EQ(PathMunge("abcdefgh/ijklmnop/qrstuvwx", 3, &length), "abc/ijk/qrs");
    EXPECT_EQ(length, 12);
    EXPECT_EQ(PathMunge("ab/cd", 4, &length), "ab/cd");
    EXPECT_EQ(length, 6);
}

TEST(NameMungeTest, EmptyComponentsStopThePath) {
    int length = -1;
    EXPECT_EQ(PathMunge("", 4, &length), "");
    EXPECT_EQ(length, 1);
    EXPECT_EQ(PathMunge("/x", 4, &length), "");
    EXPECT_EQ(length, 0);
    EXPECT_EQ(PathMunge("a//b", 4, &length), "a");
    EXPECT_EQ(length, 2);
    EXPECT_EQ(PathMunge("abcdefg/", 4, &length), "abcd");
    EXPECT_EQ(length, 5);
}

TEST(NameMungeTest, NameKeepsAtMostLimitCharacters) {
    char buffer[64] = "abcdefghijklmnopqrst";
    EXPECT_EQ(unix_name_munge(buffer, buffer, 14), 15);
    EXPECT_STREQ(buffer, "abcdefghijklmn");
    char out[64];
    EXPECT_EQ(unix_name_munge("short", out, 14), 6);
    EXPECT_STREQ(out, "short");
}

class PrepareDblkTest : public RestoreFixture {};

TEST_F(PrepareDblkTest, LongFileNameIsAppendedShortened) {
    drvdle_.max_name_len = 14;
    UnixInfo info;
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "abcdefghijklmnopqrst", &info);  // 20 characters
    const uint16_t before = dblk.dblk_actual_size;

    EXPECT_EQ(Run(PrepareDblk, GRFS_PREPARE_DBLK, dblk), 0);
    const GRFS_GEN_DBLK& out = reply_->body.dblk_stat.dblk;
    EXPECT_EQ(out.dblk_actual_size, before + 15);
    EXPECT_EQ(sent_.last_body_size, out.dblk_actual_size);
    EXPECT_EQ(out.type_part.fdb.name, before);
    std::string_view name, os_name;
    ASSERT_EQ(DblkTextAt(&out, out.type_part.fdb.name, &name), 0);
    ASSERT_EQ(DblkTextAt(&out, out.type_part.fdb.os_name, &os_name), 0);
    EXPECT_EQ(name, "abcdefghijklmn");
    EXPECT_EQ(os_name, "abcdefghijklmnopqrst");
    // The Unix information is where it was.
    EXPECT_EQ(out.os_spec_info, dblk.os_spec_info);
    EXPECT_EQ(std::memcmp(dblk_bytes(&out) + out.os_spec_info, dblk_bytes(&dblk) + dblk.os_spec_info, 56), 0);
}

TEST_F(PrepareDblkTest, SeparateNameIsShortenedInPlace) {
    drvdle_.max_name_len = 14;
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "abcdefghijklmnopqrst", nullptr);
    // A second copy as the OS name, at the end of the block.
    const uint16_t os_at = dblk.dblk_actual_size;
    std::memcpy(dblk_bytes(&dblk) + os_at, "abcdefghijklmnopqrst", 21);
    dblk.type_part.fdb.os_name = os_at;
    dblk.dblk_actual_size = static_cast<uint16_t>(os_at + 21);

    EXPECT_EQ(Run(PrepareDblk, GRFS_PREPARE_DBLK, dblk), 0);
    const GRFS_GEN_DBLK& out = reply_->body.dblk_stat.dblk;
    EXPECT_EQ(out.dblk_actual_size, dblk.dblk_actual_size);
    EXPECT_EQ(out.type_part.fdb.name, 180);
    std::string_view name;
    ASSERT_EQ(DblkTextAt(&out, 180, &name), 0);
    EXPECT_EQ(name, "abcdefghijklmn");
}

TEST_F(PrepareDblkTest, DirectoryPathComponentsAreShortened) {
    drvdle_.max_name_len = 4;
    UnixInfo info;
    info.mode = 040755;
    GRFS_GEN_DBLK dblk;
    MakeDirDblk(&dblk, "abc/defghij/k", &info);
    const uint16_t before = dblk.dblk_actual_size;

    EXPECT_EQ(Run(PrepareDblk, GRFS_PREPARE_DBLK, dblk), 0);
    const GRFS_GEN_DBLK& out = reply_->body.dblk_stat.dblk;
    EXPECT_EQ(out.type_part.ddb.path, before);
    EXPECT_EQ(out.type_part.ddb.path_leng, 11);
    EXPECT_EQ(out.dblk_actual_size, before + 11);
    std::string_view path, os_path;
    ASSERT_EQ(DblkDirPath(&out, &path), 0);
    ASSERT_EQ(DblkTextAt(&out, out.type_part.ddb.os_path, &os_path), 0);
    EXPECT_EQ(path, "abc/defg/k");
    EXPECT_EQ(os_path, "abc/defghij/k");
}

TEST_F(PrepareDblkTest, ShortNamesComeBackUnchanged) {
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "file.txt", nullptr);
    EXPECT_EQ(Run(PrepareDblk, GRFS_PREPARE_DBLK, dblk), 0);
    std::string_view name;
    ASSERT_EQ(DblkFileName(&reply_->body.dblk_stat.dblk, &name), 0);
    EXPECT_EQ(name, "file.txt");
}

TEST_F(PrepareDblkTest, BadHandleAndUnsoundBlocks) {
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "abcdefghijklmnopqrst", nullptr);
    EXPECT_EQ(Run(PrepareDblk, GRFS_PREPARE_DBLK, dblk, drvdle_.handle ^ 0x10000), GRFS_RC_BAD_DLE_HANDLE);
    EXPECT_EQ(sent_.last_body_size, 0);

    // The name runs to the end of the block without its zero.
    GRFS_GEN_DBLK unterminated;
    MakeFileDblk(&unterminated, "abcdef", nullptr);
    unterminated.dblk_actual_size = 183;
    EXPECT_EQ(Run(PrepareDblk, GRFS_PREPARE_DBLK, unterminated), GRFS_RC_INVALID_REQUEST);
    EXPECT_EQ(sent_.last_body_size, 0);
}

}  // namespace
}  // namespace restore_test
