#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "find_fixture.h"
#include "grfs/dates.h"
#include "unixfs/tree/dblk_fill.h"
#include "unixfs/tree/object_describe.h"
#include "unixfs/tree/excluded_paths.h"

namespace find_test {
namespace {

void Touch(const fs::path& path, const std::string& content = "") { std::ofstream(path.c_str()) << content; }

std::multiset<std::string> AsSet(const std::vector<std::string>& names) {
    return std::multiset<std::string>(names.begin(), names.end());
}

template <typename T>
T InfoAt(const GRFS_GEN_DBLK& dblk) {
    T info;
    std::memcpy(&info, dblk_bytes(&dblk) + dblk.os_spec_info, sizeof info);
    return info;
}

uint64_t U64(UINT64 v) { return (static_cast<uint64_t>(v.msw) << 32) | v.lsw; }

void ExpectDate(const DATE_TIME& date, time_t when) {
    DATE_TIME expected;
    ConvertToStdDate(&expected, when);
    EXPECT_EQ(std::memcmp(&date, &expected, sizeof date), 0);
}

class FindObjects : public FindFixture {
protected:
    void SetUp() override {
        FindFixture::SetUp();
        dle_ = AttachExport();
    }
    uint32_t dle_ = 0;
};

TEST_F(FindObjects, ListsEveryEntryOnceWithoutDotEntries) {
    Touch(export_ / "a", "1");
    Touch(export_ / "name with space");
    Touch(export_ / "caf\xc3\xa9");
    fs::create_directory(export_ / "sub");
    EXPECT_EQ(AsSet(ListAll(dle_)), (std::multiset<std::string>{"a", "name with space", "caf\xc3\xa9", "sub"}));
    // "*.*" and a pattern that selects nothing list the same.
    EXPECT_EQ(ListAll(dle_, "*.*").size(), 4u);
    EXPECT_EQ(ListAll(dle_, "x*").size(), 4u);
    // The exhausted search is gone.
    EXPECT_EQ(LiveSearchCount(), 0u);
}

TEST_F(FindObjects, EmptyDirectoryAnswersNotFound) {
    EXPECT_EQ(FindFirst(dle_), GRFS_RC_NOT_FOUND);
    EXPECT_EQ(reply_->hdr.msg_type, GRFS_FIND_OBJ_STAT);
    EXPECT_EQ(reply_->body.find_obj_stat.more, 0);
    EXPECT_EQ(sent_.last_body_size, 2);
    EXPECT_EQ(LiveSearchCount(), 0u);
}

TEST_F(FindObjects, FileDblkMatchesLstat) {
    Touch(export_ / "abc", std::string(1000, 'z'));
    chmod((export_ / "abc").c_str(), 0640);
    ASSERT_EQ(FindFirst(dle_), 0);
    const GRFS_GEN_DBLK& dblk = ReplyDblk();
    struct stat st;
    ASSERT_EQ(lstat((export_ / "abc").c_str(), &st), 0);

    EXPECT_EQ(dblk.dblk_actual_size, 240);  // 176 + 4 + 4 + 56
    EXPECT_EQ(sent_.last_body_size, 244);
    EXPECT_EQ(dblk.dblk_type, FDB_ID);
    EXPECT_EQ(dblk.os_id, 20);
    EXPECT_EQ(dblk.os_ver, 0);
    EXPECT_EQ(dblk.type_part.fdb.name, 180);
    EXPECT_EQ(dblk.type_part.fdb.os_name, 180);
    EXPECT_EQ(dblk.type_part.fdb.in_use, 0);
    EXPECT_EQ(DblkText(dblk), "abc");
    EXPECT_EQ(U64(dblk.size), 1000u);
    EXPECT_EQ(dblk.gen_attr, 0x20u);
    EXPECT_EQ(dblk.os_info_complete, 1);
    EXPECT_EQ(dblk.find_info, 176);
    EXPECT_EQ(dblk.find_info_size, 4);
    EXPECT_EQ(dblk.min_ddb_info, 176);
    EXPECT_EQ(dblk.min_ddb_size, 8);
    EXPECT_EQ(dblk.os_spec_info, 184);
    EXPECT_EQ(dblk.os_spec_size, 56);
    EXPECT_EQ(dblk.archived_time.date_valid, 0);
    ExpectDate(dblk.creation_time, st.st_ctime);
    ExpectDate(dblk.access_time, st.st_atime);
    ExpectDate(dblk.modified_time, st.st_mtime);

    auto info = InfoAt<UNIX_FILE_OS_INFO>(dblk);
    EXPECT_EQ(info.st_dev, static_cast<uint32_t>(st.st_dev));
    EXPECT_EQ(info.st_rdev, static_cast<uint32_t>(st.st_rdev));
    EXPECT_EQ(info.st_mode, st.st_mode);
    EXPECT_EQ(info.st_uid, st.st_uid);
    EXPECT_EQ(info.st_gid, st.st_gid);
    EXPECT_EQ(U64(info.st_size), 1000u);
    EXPECT_EQ(info.os_info_version, 1);
    EXPECT_EQ(U64(info.st_ino), st.st_ino);
    EXPECT_EQ(info.st_nlink, st.st_nlink);
    // The search handle at 176 names the live search.
    uint32_t handle;
    std::memcpy(&handle, dblk_bytes(&dblk) + 176, 4);
    EXPECT_NE(LookupSearch(ses_.handles, handle), nullptr);
}

TEST_F(FindObjects, DirectoryDblkCarriesItsPathFromTheRootTwice) {
    fs::create_directories(export_ / "x/abc");
    ASSERT_EQ(ChangeDirTo(dle_, "x"), 0);
    ASSERT_EQ(FindFirst(dle_), 0);
    const GRFS_GEN_DBLK& dblk = ReplyDblk();
    struct stat st;
    ASSERT_EQ(lstat((export_ / "x/abc").c_str(), &st), 0);
    EXPECT_EQ(dblk.dblk_actual_size, 248);  // 176 + 4 + 6 + 56 + 6
    EXPECT_EQ(dblk.dblk_type, DDB_ID);
    EXPECT_EQ(dblk.type_part.ddb.path, 180);
    EXPECT_EQ(dblk.type_part.ddb.os_path, 180);
    EXPECT_EQ(dblk.type_part.ddb.path_leng, 6);
    EXPECT_EQ(dblk.type_part.ddb.os_path_leng, 6);
    EXPECT_EQ(DblkText(dblk), "x/abc");
    EXPECT_EQ(dblk.gen_attr, 0x30u);
    EXPECT_EQ(dblk.os_spec_info, 186);
    EXPECT_EQ(dblk.os_spec_size, 62);
    EXPECT_EQ(dblk.min_ddb_size, 10);
    auto info = InfoAt<UNIX_DIR_OS_INFO>(dblk);
    EXPECT_EQ(info.st_mode, st.st_mode);
    EXPECT_EQ(info.st_uid, st.st_uid);
    EXPECT_EQ(info.dir_path_offset, 56);
    EXPECT_EQ(info.dir_path_length, 6);
    EXPECT_EQ(info.os_info_version, 1);
    EXPECT_EQ(U64(info.st_ino), st.st_ino);
    EXPECT_EQ(info.st_nlink, st.st_nlink);
    ExpectDate(info.access_date, st.st_atime);
    EXPECT_STREQ(reinterpret_cast<const char*>(dblk_bytes(&dblk)) + dblk.os_spec_info + 56, "x/abc");

    // A chdir with a trailing slash yields the same path.
    ASSERT_EQ(ChangeDirTo(dle_, std::string("\0x\0", 3), 3), 0);
    ASSERT_EQ(FindFirst(dle_), 0);
    EXPECT_EQ(DblkText(ReplyDblk()), "x/abc");
}

TEST_F(FindObjects, UnreadableModeSetsAttributeBit) {
    Touch(export_ / "noread");
    chmod((export_ / "noread").c_str(), 0200);
    ASSERT_EQ(FindFirst(dle_), 0);
    EXPECT_EQ(ReplyDblk().gen_attr, 0x21u);
}

TEST_F(FindObjects, FindTypeOneListsDirectoriesOnly) {
    Touch(export_ / "f1");
    Touch(export_ / "f2");
    fs::create_directory(export_ / "d1");
    fs::create_directory(export_ / "d2");
    EXPECT_EQ(AsSet(ListAll(dle_, "*", 1)), (std::multiset<std::string>{"d1", "d2"}));
    EXPECT_EQ(ListAll(dle_, "*", 2).size(), 4u);
}

TEST_F(FindObjects, EachSearchKeepsItsOwnFindType) {
    // A server descending with a directories-only search must not turn the
    // parent's full listing into a directories-only one.
    for (const char* f : {"f1", "f2", "f3"}) Touch(export_ / f);
    fs::create_directories(export_ / "d/inner");
    ASSERT_EQ(FindFirst(dle_, "*", 0), 0);
    std::vector<std::string> parent{DblkText(ReplyDblk())};
    auto last = SaveDblk();
    ASSERT_EQ(ChangeDirTo(dle_, "d"), 0);
    ASSERT_EQ(FindFirst(dle_, "*", 1), 0);
    EXPECT_EQ(DblkText(ReplyDblk()), "d/inner");
    ASSERT_EQ(ChangeDirTo(dle_, ""), 0);
    while (FindNext(dle_, *last) == 0) {
        parent.push_back(DblkText(ReplyDblk()));
        last = SaveDblk();
    }
    EXPECT_EQ(AsSet(parent), (std::multiset<std::string>{"f1", "f2", "f3", "d"}));
}

TEST_F(FindObjects, ExclusionIsByWholePath) {
    fs::create_directory(export_ / "abc");
    fs::create_directory(export_ / "abcd");
    Touch(export_ / "abc.txt");
    fs::create_directories(export_ / "sub/abc");
    AddExclude(export_ / "abc");
    EXPECT_EQ(AsSet(ListAll(dle_)), (std::multiset<std::string>{"abcd", "abc.txt", "sub"}));
    ASSERT_EQ(ChangeDirTo(dle_, "sub"), 0);
    EXPECT_EQ(ListAll(dle_), (std::vector<std::string>{"sub/abc"}));
    // A file entry excludes by the same comparison.
    AddExclude(export_ / "abc.txt", EXCLUDE_FILE);
    ASSERT_EQ(ChangeDirTo(dle_, ""), 0);
    EXPECT_EQ(AsSet(ListAll(dle_)), (std::multiset<std::string>{"abcd", "sub"}));
}

TEST_F(FindObjects, LinkToDirectoryIsAFileUnlessFollowSymdirs) {
    fs::create_directory(export_ / "target");
    Touch(export_ / "target/inside");
    fs::create_directory_symlink("target", export_ / "link");
    ASSERT_EQ(ChangeDirTo(dle_, "link"), GRFS_RC_CHANGE_DIR_FAILED);

    std::map<std::string, std::unique_ptr<GRFS_GEN_DBLK>> listed;
    ASSERT_EQ(FindFirst(dle_), 0);
    do {
        listed[DblkText(ReplyDblk())] = SaveDblk();
    } while (FindNext(dle_, *SaveDblk()) == 0);
    ASSERT_EQ(listed.count("link"), 1u);
    const GRFS_GEN_DBLK& as_file = *listed["link"];
    EXPECT_EQ(as_file.dblk_type, FDB_ID);
    struct stat lst;
    ASSERT_EQ(lstat((export_ / "link").c_str(), &lst), 0);
    EXPECT_EQ(InfoAt<UNIX_FILE_OS_INFO>(as_file).st_mode, lst.st_mode);
    EXPECT_TRUE(S_ISLNK(InfoAt<UNIX_FILE_OS_INFO>(as_file).st_mode));
    // A search name that goes through the link is refused too.
    EXPECT_EQ(FindFirst(dle_, "link"), GRFS_RC_NOT_FOUND);

    ws_cntl.follow_symdirs = 1;
    listed.clear();
    ASSERT_EQ(FindFirst(dle_), 0);
    do {
        listed[DblkText(ReplyDblk())] = SaveDblk();
    } while (FindNext(dle_, *SaveDblk()) == 0);
    ASSERT_EQ(listed.count("link"), 1u);
    const GRFS_GEN_DBLK& as_dir = *listed["link"];
    EXPECT_EQ(as_dir.dblk_type, DDB_ID);
    struct stat target;
    ASSERT_EQ(stat((export_ / "target").c_str(), &target), 0);
    EXPECT_EQ(U64(InfoAt<UNIX_DIR_OS_INFO>(as_dir).st_ino), target.st_ino);
    ASSERT_EQ(FindFirst(dle_, "link"), 0);
    EXPECT_EQ(DblkText(ReplyDblk()), "inside");
}

TEST_F(FindObjects, SearchNameWithoutWildcardListsThatDirectory) {
    fs::create_directories(export_ / "dir");
    Touch(export_ / "dir/one");
    Touch(export_ / "plain");
    EXPECT_EQ(ListAll(dle_, "dir"), (std::vector<std::string>{"one"}));
    EXPECT_EQ(FindFirst(dle_, "plain"), GRFS_RC_NOT_FOUND);
    EXPECT_EQ(FindFirst(dle_, "missing"), GRFS_RC_NOT_FOUND);
    EXPECT_EQ(FindFirst(dle_, "../.."), GRFS_RC_NOT_FOUND);
    EXPECT_EQ(reply_->body.find_obj_stat.more, 0);
}

TEST_F(FindObjects, SearchPathsPast256CharactersAreListedWhole) {
    std::string export_text = export_.string();
    // export_path + current_path + search_name of 257 characters and more:
    // the export's own path is no part of what the wire limits.
    size_t room = 257 - export_text.size() - 1;
    std::string dir(room, 'd');
    fs::create_directory(export_ / dir);
    Touch(export_ / dir / "f");
    ASSERT_EQ(ChangeDirTo(dle_, dir), 0);
    EXPECT_EQ(ListAll(dle_, "*"), (std::vector<std::string>{"f"}));
    // The deepest directory a GRFS_CHANGE_DIR can name: 255 bytes.
    std::string deeper = dir + "/" + std::string(254 - room, 'e');
    fs::create_directory(export_ / deeper);
    Touch(export_ / deeper / "g");
    ASSERT_EQ(ChangeDirTo(dle_, deeper), 0);
    EXPECT_EQ(ListAll(dle_, "*"), (std::vector<std::string>{"g"}));
}

// A directory deeper than the kernel names through /proc (PATH_MAX) below
// an excluded one is known as excluded, and one beside it is not.
TEST_F(FindObjects, ExclusionsHoldBelowTheDepthTheKernelNames) {
    const std::string level(250, 'x');
    UniqueFd root(open(export_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::map<std::string, std::vector<UniqueFd>> chains;
    for (const char* top : {"hidden", "kept"}) {
        std::vector<UniqueFd>& chain = chains[top];
        ASSERT_EQ(mkdirat(root.get(), top, 0755), 0);
        chain.emplace_back(openat(root.get(), top, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (size_t depth = export_.string().size(); depth < 4200; depth += level.size() + 1) {
            ASSERT_EQ(mkdirat(chain.back().get(), level.c_str(), 0755), 0);
            chain.emplace_back(openat(chain.back().get(), level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_TRUE(chain.back().valid());
        }
    }
    AddExclude(export_ / "hidden");
    EXPECT_TRUE(IsExcludedAt(&ws_cntl, chains["hidden"].back().get(), {}));
    EXPECT_TRUE(IsExcludedAt(&ws_cntl, chains["hidden"].back().get(), "name"));
    EXPECT_FALSE(IsExcludedAt(&ws_cntl, chains["kept"].back().get(), {}));
    EXPECT_FALSE(IsExcludedAt(&ws_cntl, chains["kept"].back().get(), "name"));
    // The fixture's removal goes by absolute paths: the deep part goes here.
    for (auto& [top, chain] : chains) {
        while (chain.size() > 1) {
            chain.pop_back();
            unlinkat(chain.back().get(), level.c_str(), AT_REMOVEDIR);
        }
    }
}

TEST_F(FindObjects, BadHandles) {
    Touch(export_ / "f");
    Touch(export_ / "g");
    EXPECT_EQ(FindFirst(0x12340001), GRFS_RC_BAD_DLE_HANDLE);
    EXPECT_EQ(sent_.last_body_size, 0);
    EXPECT_EQ(FindFirst(ws_id_), GRFS_RC_BAD_DLE_HANDLE);

    ASSERT_EQ(FindFirst(dle_), 0);
    auto dblk = SaveDblk();
    // A forged search handle.
    uint32_t forged = 0x7FFF0042;
    std::memcpy(dblk_bytes(dblk.get()) + 176, &forged, 4);
    EXPECT_EQ(FindNext(dle_, *dblk), GRFS_RC_NOT_FOUND);
    EXPECT_EQ(reply_->body.find_obj_stat.more, 0);
    EXPECT_EQ(sent_.last_body_size, 2);
    // A DLE handle in the search handle's place.
    std::memcpy(dblk_bytes(dblk.get()) + 176, &dle_, 4);
    EXPECT_EQ(FindNext(dle_, *dblk), GRFS_RC_NOT_FOUND);
    // Find information outside the block: no search named either.
    dblk->find_info = dblk->dblk_actual_size;
    EXPECT_EQ(FindNext(dle_, *dblk), GRFS_RC_NOT_FOUND);
    EXPECT_EQ(reply_->body.find_obj_stat.more, 0);
    EXPECT_EQ(sent_.last_body_size, 2);
}

TEST_F(FindObjects, SearchIsResumedOnlyThroughItsOwnAttachment) {
    Touch(export_ / "f");
    Touch(export_ / "g");
    ASSERT_EQ(Attach("EXPORT", "", ws_id_), 0);
    uint32_t other = reply_->body.attach_dle_stat.dle_id;
    ASSERT_EQ(FindFirst(dle_), 0);
    auto dblk = SaveDblk();
    EXPECT_EQ(FindNext(other, *dblk), GRFS_RC_NOT_FOUND);
    EXPECT_EQ(FindNext(dle_, *dblk), 0);
}

TEST_F(FindObjects, InterleavedSearchesCompleteIndependently) {
    for (int i = 0; i < 5; ++i) Touch(export_ / ("top" + std::to_string(i)));
    fs::create_directories(export_ / "a");
    fs::create_directories(export_ / "b");
    for (int i = 0; i < 4; ++i) Touch(export_ / "a" / ("a" + std::to_string(i)));
    for (int i = 0; i < 3; ++i) Touch(export_ / "b" / ("b" + std::to_string(i)));

    ASSERT_EQ(FindFirst(dle_), 0);
    std::vector<std::string> top{DblkText(ReplyDblk())};
    auto top_last = SaveDblk();
    ASSERT_EQ(ChangeDirTo(dle_, "a"), 0);
    ASSERT_EQ(FindFirst(dle_), 0);
    std::vector<std::string> in_a{DblkText(ReplyDblk())};
    auto a_last = SaveDblk();
    ASSERT_EQ(ChangeDirTo(dle_, "b"), 0);
    ASSERT_EQ(FindFirst(dle_), 0);
    std::vector<std::string> in_b{DblkText(ReplyDblk())};
    auto b_last = SaveDblk();
    EXPECT_EQ(LiveSearchCount(), 3u);
    // Step them in turns until all are done.
    bool top_done = false, a_done = false, b_done = false;
    while (!(top_done && a_done && b_done)) {
        if (!b_done) {
            b_done = FindNext(dle_, *b_last) != 0;
            if (!b_done) in_b.push_back(DblkText(ReplyDblk())), b_last = SaveDblk();
        }
        if (!top_done) {
            top_done = FindNext(dle_, *top_last) != 0;
            if (!top_done) top.push_back(DblkText(ReplyDblk())), top_last = SaveDblk();
        }
        if (!a_done) {
            a_done = FindNext(dle_, *a_last) != 0;
            if (!a_done) in_a.push_back(DblkText(ReplyDblk())), a_last = SaveDblk();
        }
    }
    EXPECT_EQ(top.size(), 7u);
    EXPECT_EQ(AsSet(in_a), (std::multiset<std::string>{"a0", "a1", "a2", "a3"}));
    EXPECT_EQ(AsSet(in_b), (std::multiset<std::string>{"b0", "b1", "b2"}));
    EXPECT_EQ(LiveSearchCount(), 0u);
}

TEST_F(FindObjects, FindCloseReleasesTheNamedSearch) {
    Touch(export_ / "f");
    Touch(export_ / "g");
    ASSERT_EQ(FindFirst(dle_), 0);
    auto dblk = SaveDblk();
    auto req = NewMessage(GRFS_FIND_CLOSE);
    req->body.dblk_req.dle_id = dle_;
    std::memcpy(&req->body.dblk_req.dblk, dblk.get(), dblk->dblk_actual_size);
    EXPECT_EQ(FindClose(&ses_, req.get()), 0);
    EXPECT_EQ(reply_->hdr.msg_type, GRFS_FIND_CLOSE_STAT);
    EXPECT_EQ(reply_->hdr.retcode, 0);
    EXPECT_EQ(sent_.last_body_size, 0);
    EXPECT_EQ(LiveSearchCount(), 0u);
    EXPECT_EQ(FindNext(dle_, *dblk), GRFS_RC_NOT_FOUND);
    // Closing again, or with a bad handle, is still acknowledged.
    EXPECT_EQ(FindClose(&ses_, req.get()), 0);
    EXPECT_EQ(reply_->hdr.retcode, 0);
}

TEST_F(FindObjects, AbandonedSearchesAreBounded) {
    Touch(export_ / "f");
    Touch(export_ / "g");
    std::vector<std::unique_ptr<GRFS_GEN_DBLK>> started;
    for (size_t i = 0; i < kMaxLiveSearches + 10; ++i) {
        ASSERT_EQ(FindFirst(dle_), 0);
        started.push_back(SaveDblk());
    }
    EXPECT_EQ(LiveSearchCount(), kMaxLiveSearches);
    EXPECT_EQ(SearchCount(), kMaxLiveSearches + 10);
    EXPECT_LE(LiveSearchBytes(), kMaxLiveSearchBytes);
    // The least recently used gave up its stream, not its place.
    ASSERT_EQ(FindNext(dle_, *started.front()), 0);
    EXPECT_NE(DblkText(ReplyDblk()), DblkText(*started.front()));
    EXPECT_EQ(FindNext(dle_, *SaveDblk()), GRFS_RC_NOT_FOUND);
    EXPECT_EQ(FindNext(dle_, *started.back()), 0);
    EXPECT_LE(LiveSearchCount(), kMaxLiveSearches);
    // Far beyond, the least recently used searches themselves give way.
    testing::internal::CaptureStderr();
    for (size_t i = 0; i < kMaxSearches; ++i) ASSERT_EQ(FindFirst(dle_), 0);
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_NE(console.find("' given up: more than 2048 searches were left unfinished\n"), std::string::npos) << console;
    EXPECT_EQ(SearchCount(), kMaxSearches);
    EXPECT_LE(LiveSearchBytes(), kMaxLiveSearchBytes);
    EXPECT_EQ(FindNext(dle_, *started[1]), GRFS_RC_NOT_FOUND);
    EXPECT_EQ(reply_->body.find_obj_stat.more, 0);
}

TEST_F(FindObjects, RestedSearchGoesOnAfterItsPlaceThoughWhatItReadLastIsGone) {
    constexpr int kEntries = 60;
    for (int i = 0; i < kEntries; ++i) Touch(export_ / ("e" + std::to_string(i)));
    fs::create_directory(export_ / "other");
    Touch(export_ / "other/x");
    ASSERT_EQ(FindFirst(dle_), 0);
    std::vector<std::string> listed{DblkText(ReplyDblk())};
    auto last = SaveDblk();
    auto step = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(FindNext(dle_, *last), 0);
            listed.push_back(DblkText(ReplyDblk()));
            last = SaveDblk();
        }
    };
    auto push_out = [&] {
        ASSERT_EQ(ChangeDirTo(dle_, "other"), 0);
        for (size_t i = 0; i < kMaxLiveSearches; ++i) ASSERT_EQ(FindFirst(dle_), 0);
        ASSERT_EQ(ChangeDirTo(dle_, ""), 0);
    };
    std::set<std::string> gone;
    auto remove_listed = [&](size_t from) {
        for (size_t i = from; i < listed.size(); ++i) {
            if (listed[i] == "other") continue;
            fs::remove(export_ / listed[i]);
            gone.insert(listed[i]);
        }
    };
    // Some of the entries read last are removed while the search rests...
    step(15);
    push_out();
    remove_listed(listed.size() - 3);
    Touch(export_ / "new1");
    step(15);
    // ...then every entry listed so far.
    push_out();
    remove_listed(0);
    Touch(export_ / "new2");
    while (FindNext(dle_, *last) == 0) {
        listed.push_back(DblkText(ReplyDblk()));
        last = SaveDblk();
    }
    std::map<std::string, int> count;
    for (const auto& name : listed) count[name]++;
    for (const auto& [name, n] : count) EXPECT_EQ(n, 1) << name << " repeated";
    for (int i = 0; i < kEntries; ++i) {
        std::string name = "e" + std::to_string(i);
        if (!gone.count(name)) {
            EXPECT_EQ(count.count(name), 1u) << name << " missing";
        }
    }
    EXPECT_EQ(count.count("other"), 1u);
}

TEST_F(FindObjects, VanishedEntriesAreSkippedAndTheWalkGoesOn) {
    for (int i = 0; i < 10; ++i) Touch(export_ / ("e" + std::to_string(i)));
    ASSERT_EQ(FindFirst(dle_), 0);
    std::set<std::string> seen{DblkText(ReplyDblk())};
    auto last = SaveDblk();
    // Remove every entry not yet returned but two.
    std::vector<std::string> pending;
    for (int i = 0; i < 10; ++i) {
        std::string name = "e" + std::to_string(i);
        if (!seen.count(name)) pending.push_back(name);
    }
    std::set<std::string> kept{pending[0], pending[5]};
    for (const auto& name : pending) {
        if (!kept.count(name)) fs::remove(export_ / name);
    }
    std::set<std::string> rest;
    while (FindNext(dle_, *last) == 0) {
        rest.insert(DblkText(ReplyDblk()));
        last = SaveDblk();
    }
    EXPECT_EQ(rest, kept);
}

TEST_F(FindObjects, LargeDirectoryUnderChurnListsEveryStableEntryOnce) {
    constexpr int kEntries = 20000;
    fs::create_directory(export_ / "big");
    for (int i = 0; i < kEntries; ++i) Touch(export_ / "big" / ("s" + std::to_string(i)));
    // Entries that come and go during the walk.
    for (int i = 0; i < 2000; ++i) Touch(export_ / "big" / ("v" + std::to_string(i)));
    ASSERT_EQ(ChangeDirTo(dle_, "big"), 0);

    std::vector<std::string> listed;
    ASSERT_EQ(FindFirst(dle_), 0);
    listed.push_back(DblkText(ReplyDblk()));
    auto last = SaveDblk();
    int step = 0;
    int added = 0;
    int removed = 0;
    while (FindNext(dle_, *last) == 0) {
        listed.push_back(DblkText(ReplyDblk()));
        last = SaveDblk();
        ++step;
        if (step % 10 == 0 && removed < 2000) {
            fs::remove(export_ / "big" / ("v" + std::to_string(removed++)));
        }
        if (step % 7 == 0) Touch(export_ / "big" / ("n" + std::to_string(added++)));
    }
    std::map<std::string, int> count;
    for (const auto& name : listed) count[name]++;
    for (const auto& [name, n] : count) ASSERT_EQ(n, 1) << name << " repeated";
    for (int i = 0; i < kEntries; ++i) {
        ASSERT_EQ(count.count("s" + std::to_string(i)), 1u) << "s" << i << " missing";
    }
    for (const auto& [name, n] : count) {
        ASSERT_TRUE(name[0] == 's' || name[0] == 'v' || name[0] == 'n') << name;
    }
    EXPECT_GT(removed, 0);
    EXPECT_GT(added, 0);
    EXPECT_EQ(LiveSearchCount(), 0u);
}

// ---- remote directories ----

TEST_F(FindObjects, LocalOnlyExportLeavesOutRemoteDirectoriesOnly) {
    fs::create_directory(export_ / "remote");
    fs::create_directory(export_ / "local");
    Touch(export_ / "file");
    // The tree's device stands for a device other than "/", so the mount
    // lists decide; only the nfs entry is remote.
    struct stat st;
    ASSERT_EQ(stat(export_.c_str(), &st), 0);
    dev_t saved = gb_root_dev_id;
    gb_root_dev_id = st.st_dev + 1;
    std::ofstream(mount_table_.c_str()) << "server:/vol " << (export_ / "remote").string() << " nfs4 rw 0 0\n"
                                        << "/dev/sdz1 " << export_.string() << " btrfs rw 0 0\n";
    FindDrive(&ws_cntl, "EXPORT")->local_only = 1;
    uint32_t dle = AttachExport();  // builds the mount lists
    EXPECT_EQ(AsSet(ListAll(dle)), (std::multiset<std::string>{"local", "file"}));
    EXPECT_TRUE(FileIsNFS(st.st_dev, (export_ / "remote").c_str()));
    EXPECT_FALSE(FileIsNFS(st.st_dev, (export_ / "local").c_str()));
    // On the device of "/" nothing is remote.
    gb_root_dev_id = st.st_dev;
    EXPECT_FALSE(FileIsNFS(st.st_dev, (export_ / "remote").c_str()));
    EXPECT_EQ(ListAll(dle).size(), 3u);
    // include_remote lists everything.
    gb_root_dev_id = st.st_dev + 1;
    FindDrive(&ws_cntl, "EXPORT")->local_only = 0;
    EXPECT_EQ(ListAll(dle).size(), 3u);
    gb_root_dev_id = saved;
}

// ---- current directory and single objects ----

TEST_F(FindObjects, CurrentDirectoryDblk) {
    fs::create_directories(export_ / "x/y");
    auto req = NewMessage(GRFS_GET_CUR_DDB);
    req->body.dle_req.dle_id = dle_;
    EXPECT_EQ(GetCurrentDDB(&ses_, req.get()), 0);
    EXPECT_EQ(reply_->hdr.msg_type, GRFS_GET_CUR_DDB_STAT);
    ASSERT_EQ(reply_->hdr.retcode, 0);
    const GRFS_GEN_DBLK& root = reply_->body.dblk_stat.dblk;
    EXPECT_EQ(root.dblk_type, DDB_ID);
    EXPECT_EQ(root.type_part.ddb.path_leng, 1);
    EXPECT_EQ(DblkText(root), "");
    EXPECT_EQ(root.dblk_actual_size, 176 + 4 + 1 + 56 + 1);
    EXPECT_EQ(sent_.last_body_size, root.dblk_actual_size);
    struct stat st;
    ASSERT_EQ(stat(export_.c_str(), &st), 0);
    EXPECT_EQ(U64(InfoAt<UNIX_DIR_OS_INFO>(root).st_ino), st.st_ino);

    ASSERT_EQ(ChangeDirTo(dle_, "x/y"), 0);
    GetCurrentDDB(&ses_, req.get());
    ASSERT_EQ(reply_->hdr.retcode, 0);
    EXPECT_EQ(DblkText(reply_->body.dblk_stat.dblk), "x/y");

    // The directory vanished since.
    fs::remove(export_ / "x/y");
    GetCurrentDDB(&ses_, req.get());
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_NOT_FOUND);
    EXPECT_EQ(sent_.last_body_size, 0);
    req->body.dle_req.dle_id = ws_id_;
    GetCurrentDDB(&ses_, req.get());
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_BAD_DLE_HANDLE);
}

class ObjectInfo : public FindObjects {
protected:
    int16_t Ask(const GRFS_GEN_DBLK& dblk) {
        auto req = NewMessage(GRFS_GET_OBJ_INFO);
        req->body.dblk_req.dle_id = dle_;
        std::memcpy(&req->body.dblk_req.dblk, &dblk, sizeof dblk);
        EXPECT_EQ(GetObjectInfo(&ses_, req.get()), 0);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_GET_OBJ_INFO_STAT);
        if (reply_->hdr.retcode != 0) {
            EXPECT_EQ(sent_.last_body_size, 0);
        }
        return reply_->hdr.retcode;
    }
    const GRFS_GEN_DBLK& Out() const { return reply_->body.dblk_stat.dblk; }

    // A block as a server builds it: name or path at 180.
    static std::unique_ptr<GRFS_GEN_DBLK> Block(uint8_t type, const char* text) {
        auto dblk = std::make_unique<GRFS_GEN_DBLK>();
        std::memset(dblk.get(), 0, sizeof(GRFS_GEN_DBLK));
        dblk->dblk_type = type;
        dblk->find_info = 176;
        dblk->find_info_size = 4;
        uint32_t handle = 0xABCD0001;
        std::memcpy(dblk_bytes(dblk.get()) + 176, &handle, 4);
        if (type == DDB_ID) {
            dblk->type_part.ddb.path = 180;
        } else {
            dblk->type_part.fdb.name = 180;
        }
        std::strcpy(reinterpret_cast<char*>(dblk_bytes(dblk.get())) + 180, text);
        dblk->dblk_actual_size = static_cast<uint16_t>(180 + std::strlen(text) + 1);
        return dblk;
    }
};

TEST_F(ObjectInfo, DescribesFilesAndDirectoriesAgain) {
    fs::create_directories(export_ / "d/e");
    Touch(export_ / "d/file", "12345");
    ASSERT_EQ(ChangeDirTo(dle_, "d"), 0);

    ASSERT_EQ(Ask(*Block(FDB_ID, "file")), 0);
    EXPECT_EQ(Out().dblk_type, FDB_ID);
    EXPECT_EQ(DblkText(Out()), "file");
    EXPECT_EQ(U64(Out().size), 5u);
    EXPECT_EQ(Out().dblk_actual_size, 176 + 4 + 5 + 56);
    uint32_t handle;
    std::memcpy(&handle, dblk_bytes(&Out()) + 176, 4);
    EXPECT_EQ(handle, 0xABCD0001u);  // the find information goes back as it came

    ASSERT_EQ(Ask(*Block(DDB_ID, "d/e")), 0);
    EXPECT_EQ(Out().dblk_type, DDB_ID);
    EXPECT_EQ(DblkText(Out()), "d/e");
    struct stat st;
    ASSERT_EQ(stat((export_ / "d/e").c_str(), &st), 0);
    EXPECT_EQ(U64(InfoAt<UNIX_DIR_OS_INFO>(Out()).st_ino), st.st_ino);
    ASSERT_EQ(Ask(*Block(DDB_ID, "")), 0);  // the DLE's root
    EXPECT_EQ(DblkText(Out()), "");
    // A directory path longer than a current path may be (a listing makes them).
    std::string deep = std::string(200, 'a') + "/" + std::string(99, 'b');
    fs::create_directories(export_ / deep);
    ASSERT_EQ(Ask(*Block(DDB_ID, deep.c_str())), 0);
    EXPECT_EQ(DblkText(Out()), deep);
    EXPECT_EQ(Out().dblk_actual_size, 176 + 4 + 2 * (deep.size() + 1) + 56);

    // A DBLK the listing returned describes the same object.
    ASSERT_EQ(FindFirst(dle_, "*", 1), 0);
    auto listed = SaveDblk();
    ASSERT_EQ(Ask(*listed), 0);
    EXPECT_EQ(Out().dblk_actual_size, listed->dblk_actual_size);
    EXPECT_EQ(std::memcmp(dblk_bytes(&Out()) + 176, dblk_bytes(listed.get()) + 176, listed->dblk_actual_size - 176),
              0);
}

TEST_F(ObjectInfo, RefusesEscapesLinksAndBadBlocks) {
    fs::create_directories(base_ / "outside");
    Touch(base_ / "outside/secret");
    fs::create_directory_symlink(base_ / "outside", export_ / "out");
    Touch(export_ / "f");

    EXPECT_EQ(Ask(*Block(FDB_ID, "../outside/secret")), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(Ask(*Block(DDB_ID, "..")), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(Ask(*Block(FDB_ID, "out/secret")), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(Ask(*Block(FDB_ID, "missing")), GRFS_RC_NOT_FOUND);
    // The link itself may be described (as a link).
    ASSERT_EQ(Ask(*Block(FDB_ID, "out")), 0);
    EXPECT_TRUE(S_ISLNK(InfoAt<UNIX_FILE_OS_INFO>(Out()).st_mode));

    auto unterminated = Block(FDB_ID, "f");
    unterminated->dblk_actual_size = 181;  // ends before the name's zero
    EXPECT_EQ(Ask(*unterminated), GRFS_RC_INVALID_REQUEST);
    auto outside = Block(FDB_ID, "f");
    outside->type_part.fdb.name = 3000;
    EXPECT_EQ(Ask(*outside), GRFS_RC_INVALID_REQUEST);
    auto oversized = Block(FDB_ID, "f");
    oversized->dblk_actual_size = 0xFFFF;
    EXPECT_EQ(Ask(*oversized), GRFS_RC_INVALID_REQUEST);
    EXPECT_EQ(Ask(*Block(VCB_ID, "f")), GRFS_RC_NOT_FOUND);

    auto req = NewMessage(GRFS_GET_OBJ_INFO);
    req->body.dblk_req.dle_id = ws_id_;
    GetObjectInfo(&ses_, req.get());
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_BAD_DLE_HANDLE);

    ws_cntl.follow_symdirs = 1;
    // Out of the export only where the server cannot write.
    EXPECT_EQ(Ask(*Block(FDB_ID, "out/secret")), GRFS_RC_ACCESS_DENIED);
    LookupDrvdle(&ses_, dle_)->dle->writable = 0;
    ASSERT_EQ(Ask(*Block(FDB_ID, "out/secret")), 0);
    EXPECT_EQ(Ask(*Block(FDB_ID, "out/../../x")), GRFS_RC_ACCESS_DENIED);
}

// ---- routines ----

TEST(FindRoutines, AttributesAndGlobs) {
    struct stat st {};
    st.st_mode = S_IFDIR | 0755;
    EXPECT_EQ(Unix_stat_to_attr(&st), 0x10u);
    st.st_mode = S_IFREG | 0200;
    EXPECT_EQ(Unix_stat_to_attr(&st), 0x01u);
    st.st_mode = S_IFREG | 0004;
    EXPECT_EQ(Unix_stat_to_attr(&st), 0x00u);
    st.st_mode = S_IFDIR | 0111;
    EXPECT_EQ(Unix_stat_to_attr(&st), 0x11u);
    EXPECT_TRUE(is_glob_needed("*"));
    EXPECT_TRUE(is_glob_needed("a/b*c"));
    EXPECT_FALSE(is_glob_needed("a?b[c]"));
}

TEST(FindRoutines, SkipObjectRules) {
    DTA dta{};
    dta.attrFile = 0xFFFF;
    std::strcpy(dta.achName, "door");
    EXPECT_TRUE(SkipObject(&ws_cntl, &dta, nullptr, 0, nullptr));
    dta.attrFile = FILE_DIRECTORY;
    std::strcpy(dta.achName, "..");
    EXPECT_TRUE(SkipObject(&ws_cntl, &dta, nullptr, 0, nullptr));
    std::strcpy(dta.achName, ".");
    EXPECT_TRUE(SkipObject(&ws_cntl, &dta, nullptr, 0, nullptr));
    std::strcpy(dta.achName, "dir");
    EXPECT_FALSE(SkipObject(&ws_cntl, &dta, nullptr, OBJECT_DIR, nullptr));
    dta.attrFile = 0;
    EXPECT_TRUE(SkipObject(&ws_cntl, &dta, nullptr, OBJECT_DIR, nullptr));
    std::strcpy(dta.achName, ".");  // a file named "." is no dot entry
    EXPECT_FALSE(SkipObject(&ws_cntl, &dta, nullptr, 0, nullptr));
}

TEST(FindRoutines, FillinDtaByPathFollowsOnlyWithFollowSymdirs) {
    char tmpl[] = "/tmp/filldtaXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    fs::path base = tmpl;
    fs::create_directory(base / "dir");
    fs::create_directory_symlink("dir", base / "link");
    DTA dta{};
    EXPECT_EQ(FillinDTA(&ws_cntl, base.c_str(), "missing", &dta), -504);
    EXPECT_STREQ(dta.achName, "missing");
    ASSERT_EQ(FillinDTA(&ws_cntl, base.c_str(), "link", &dta), 0);
    EXPECT_TRUE(S_ISLNK(dta.stat_info.st_mode));
    EXPECT_EQ(dta.attrFile & FILE_DIRECTORY, 0u);
    uint16_t saved = ws_cntl.follow_symdirs;
    ws_cntl.follow_symdirs = 1;
    ASSERT_EQ(FillinDTA(&ws_cntl, base.c_str(), "link", &dta), 0);
    EXPECT_TRUE(S_ISDIR(dta.stat_info.st_mode));
    EXPECT_EQ(dta.attrFile, FILE_DIRECTORY);
    ws_cntl.follow_symdirs = saved;
    ASSERT_EQ(FillinDTA(&ws_cntl, "", "", &dta), 0);  // the empty path is "/"
    EXPECT_TRUE(S_ISDIR(dta.stat_info.st_mode));
    fs::remove_all(base);
}

}  // namespace
}  // namespace find_test
