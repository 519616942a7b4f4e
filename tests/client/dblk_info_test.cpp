// DBLK values: the fields the peer reads out of a block, its wire form,
// and the rewriting of a directory block for another path.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <memory>

#include "client/dblk_info.h"
#include "grfs/dates.h"

using namespace grfs_client;

namespace {

// A directory block as the agent lays it out for path x/abc.
std::unique_ptr<GRFS_GEN_DBLK> agent_directory(const std::string& path) {
    auto r = std::make_unique<GRFS_GEN_DBLK>();
    std::memset(r.get(), 0, sizeof *r);
    r->dblk_type = DDB_ID;
    r->os_id = 20;
    r->size = UINT64{4096, 0};
    r->gen_attr = 0x30;
    r->find_info = 176;
    r->find_info_size = 4;
    const uint32_t handle = 0x01020304;
    std::memcpy(dblk_bytes(r.get()) + 176, &handle, 4);
    const uint16_t L = static_cast<uint16_t>(path.size());
    std::memcpy(dblk_bytes(r.get()) + 180, path.c_str(), L + 1);
    r->type_part.ddb.path = r->type_part.ddb.os_path = 180;
    r->type_part.ddb.path_leng = r->type_part.ddb.os_path_leng = static_cast<uint16_t>(L + 1);
    UNIX_DIR_OS_INFO info{};
    info.st_dev = 7;
    info.st_mode = S_IFDIR | 0750;
    info.st_uid = 1000;
    info.st_gid = 100;
    info.dir_path_offset = 56;
    info.dir_path_length = static_cast<uint16_t>(L + 1);
    info.os_info_version = 1;
    info.st_ino = UINT64{42, 0};
    info.st_nlink = 3;
    std::memcpy(dblk_bytes(r.get()) + 181 + L, &info, sizeof info);
    std::memcpy(dblk_bytes(r.get()) + 181 + L + 56, path.c_str(), L + 1);
    r->os_spec_info = static_cast<uint16_t>(181 + L);
    r->os_spec_size = static_cast<uint16_t>(56 + L + 1);
    r->dblk_actual_size = static_cast<uint16_t>(176 + 4 + 2 * (L + 1) + 56);
    return r;
}

}  // namespace

TEST(DblkInfo, ReadsTheFieldsOfAnAgentBlock) {
    auto record = agent_directory("x/abc");
    const Dblk d = Dblk::from_record(*record);
    EXPECT_EQ(d.wire().size(), 248u);
    EXPECT_TRUE(d.is_directory());
    EXPECT_EQ(d.text(), "x/abc");
    EXPECT_EQ(d.base_name(), "abc");
    EXPECT_EQ(d.size(), 4096u);
    const UnixInfo& u = d.unix_info();
    EXPECT_TRUE(u.present);
    EXPECT_EQ(u.mode, static_cast<uint32_t>(S_IFDIR | 0750));
    EXPECT_EQ(u.uid, 1000u);
    EXPECT_EQ(u.ino, 42u);
    EXPECT_EQ(u.nlink, 3u);
    EXPECT_EQ(u.version, 1);
    // The Unix information travels big-endian: st_mode at offset 8 of it.
    const size_t info = 181 + 5;
    EXPECT_EQ(d.wire()[info + 8], 0x00);
    EXPECT_EQ(d.wire()[info + 10], 0x41);
    EXPECT_EQ(d.wire()[info + 11], 0xE8);
    // The source record is left in host order.
    EXPECT_EQ(record->dblk_actual_size, 248);

    auto again = Dblk::from_wire(d.wire());
    ASSERT_TRUE(again.ok()) << again.error().text;
    EXPECT_EQ(again->unix_info().mode, u.mode);
    auto back = std::make_unique<GRFS_GEN_DBLK>();
    again->to_record(back.get());
    EXPECT_EQ(std::memcmp(back.get(), record.get(), 248), 0);
}

TEST(DblkInfo, WireBlocksOfTheWrongSizeAreRefused) {
    auto record = agent_directory("abc");
    const Dblk d = Dblk::from_record(*record);
    std::vector<unsigned char> wire(d.wire().begin(), d.wire().end());
    wire.push_back(0);  // one byte more than the block states
    EXPECT_FALSE(Dblk::from_wire(wire).ok());
    wire.resize(100);
    EXPECT_FALSE(Dblk::from_wire(wire).ok());
}

TEST(DblkInfo, DirectoryBlockMovesToAnotherPath) {
    auto record = agent_directory("x/abc");
    const Dblk d = Dblk::from_record(*record);
    auto moved = with_directory_path(d, "restored/x/abc");
    ASSERT_TRUE(moved.ok()) << moved.error().text;
    EXPECT_EQ(moved->text(), "restored/x/abc");
    EXPECT_EQ(moved->unix_info().mode, d.unix_info().mode);
    EXPECT_EQ(moved->unix_info().ino, 42u);
    auto r = std::make_unique<GRFS_GEN_DBLK>();
    moved->to_record(r.get());
    EXPECT_EQ(r->dblk_actual_size, 176 + 4 + 2 * 15 + 56);
    EXPECT_EQ(r->type_part.ddb.path_leng, 15);
    EXPECT_EQ(r->os_spec_size, 56 + 15);
    // The path copy behind the information and its length field follow.
    UNIX_DIR_OS_INFO info{};
    FillDirInfoFromDblk(&info, r.get());
    EXPECT_EQ(info.dir_path_length, 15);
    EXPECT_STREQ(reinterpret_cast<const char*>(dblk_bytes(r.get())) + r->os_spec_info + 56, "restored/x/abc");
    uint32_t handle = 0;
    std::memcpy(&handle, dblk_bytes(r.get()) + 176, 4);
    EXPECT_EQ(handle, 0x01020304u);

    // A path deeper than a current directory may be is carried whole; one
    // longer than the block holds is refused.
    auto deep = with_directory_path(d, std::string(300, 'a'));
    ASSERT_TRUE(deep.ok()) << deep.error().text;
    EXPECT_EQ(deep->text(), std::string(300, 'a'));
    EXPECT_FALSE(with_directory_path(d, std::string(kMaxDblkSize / 2, 'a')).ok());
    const Dblk minimal = minimal_directory("a/b");
    EXPECT_TRUE(minimal.is_directory());
    EXPECT_EQ(minimal.text(), "a/b");
    EXPECT_FALSE(minimal.unix_info().present);
}

TEST(DblkInfo, JoinsPaths) {
    EXPECT_EQ(join_path("", "a"), "a");
    EXPECT_EQ(join_path("a", ""), "a");
    EXPECT_EQ(join_path("a/b", "c"), "a/b/c");
    EXPECT_EQ(join_path("a/", "c"), "a/c");
}
