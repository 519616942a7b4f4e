#include "unixfs/host/confined_path.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class ConfinedPath : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/confinedXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        fs::create_directories(base_ / "export/a/b");
        fs::create_directories(base_ / "outside");
        fs::create_directory_symlink(base_ / "outside", base_ / "export/a/out");
        fs::create_directory_symlink("b", base_ / "export/a/inner");
        root_ = OpenExportRoot((base_ / "export").c_str());
        ASSERT_TRUE(root_.valid());
    }
    void TearDown() override { fs::remove_all(base_); }

    fs::path base_;
    UniqueFd root_;
};

TEST_F(ConfinedPath, DotDotIsRecognisedOnlyAsAWholeComponent) {
    EXPECT_TRUE(HasDotDotComponent(".."));
    EXPECT_TRUE(HasDotDotComponent("a/../b"));
    EXPECT_TRUE(HasDotDotComponent("a/.."));
    EXPECT_TRUE(HasDotDotComponent("../a"));
    EXPECT_FALSE(HasDotDotComponent("a/..b/c"));
    EXPECT_FALSE(HasDotDotComponent("...")); 
    EXPECT_FALSE(HasDotDotComponent(""));
}

TEST_F(ConfinedPath, PlainDirectoriesResolve) {
    UniqueFd d = OpenDirBeneath(root_.get(), "a/b", LinkPolicy::kNoLinks);
    ASSERT_TRUE(d.valid());
    struct stat st1, st2;
    ASSERT_EQ(fstat(d.get(), &st1), 0);
    ASSERT_EQ(stat((base_ / "export/a/b").c_str(), &st2), 0);
    EXPECT_EQ(st1.st_ino, st2.st_ino);
    EXPECT_TRUE(OpenDirBeneath(root_.get(), "", LinkPolicy::kNoLinks).valid());
    EXPECT_TRUE(OpenDirBeneath(root_.get(), "/a/", LinkPolicy::kNoLinks).valid());
}

// A path below the root longer than the kernel takes in one call (a
// restore's directory block can carry one) is reached piece by piece, and a
// link on the way is still refused.
TEST_F(ConfinedPath, PathsLongerThanPathMaxResolve) {
    const std::string level(250, 'l');
    std::string rel;
    UniqueFd dir(fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    while (rel.size() < 5000) {
        ASSERT_EQ(mkdirat(dir.get(), level.c_str(), 0755), 0);
        dir = UniqueFd(openat(dir.get(), level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        rel += (rel.empty() ? "" : "/") + level;
    }
    ASSERT_EQ(symlinkat("/tmp", dir.get(), "link"), 0);
    struct stat want {};
    ASSERT_EQ(fstat(dir.get(), &want), 0);
    for (LinkPolicy policy : {LinkPolicy::kNoLinks, LinkPolicy::kFollowLinksBeneath, LinkPolicy::kFollowLinks}) {
        UniqueFd got = OpenDirBeneath(root_.get(), rel, policy);
        ASSERT_TRUE(got.valid()) << static_cast<int>(policy) << " errno " << errno;
        struct stat st {};
        ASSERT_EQ(fstat(got.get(), &st), 0);
        EXPECT_EQ(st.st_ino, want.st_ino);
    }
    std::string name;
    UniqueFd parent = OpenParentBeneath(root_.get(), rel + "/new", LinkPolicy::kNoLinks, name);
    ASSERT_TRUE(parent.valid());
    EXPECT_EQ(name, "new");
    EXPECT_FALSE(OpenDirBeneath(root_.get(), rel + "/link", LinkPolicy::kNoLinks).valid());
    EXPECT_FALSE(OpenDirBeneath(root_.get(), rel + "/link", LinkPolicy::kFollowLinksBeneath).valid());
    // The fixture's removal goes by absolute paths: the deep part goes here.
    unlinkat(dir.get(), "link", 0);
    while (!rel.empty()) {
        const size_t slash = rel.rfind('/');
        const std::string parent_rel = slash == std::string::npos ? "" : rel.substr(0, slash);
        UniqueFd up = OpenDirBeneath(root_.get(), parent_rel, LinkPolicy::kNoLinks);
        unlinkat(up.get(), level.c_str(), AT_REMOVEDIR);
        rel = parent_rel;
    }
}

TEST_F(ConfinedPath, LinksAreRefusedWithoutPermissionEvenInsideTheExport) {
    errno = 0;
    EXPECT_FALSE(OpenDirBeneath(root_.get(), "a/out", LinkPolicy::kNoLinks).valid());
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(OpenDirBeneath(root_.get(), "a/inner", LinkPolicy::kNoLinks).valid());
    EXPECT_TRUE(OpenDirBeneath(root_.get(), "a/inner", LinkPolicy::kFollowLinks).valid());
}

TEST_F(ConfinedPath, DotDotNeverEscapes) {
    errno = 0;
    EXPECT_FALSE(OpenDirBeneath(root_.get(), "a/../..", LinkPolicy::kFollowLinks).valid());
    EXPECT_EQ(errno, EXDEV);
    std::string name;
    EXPECT_FALSE(OpenParentBeneath(root_.get(), "a/..", LinkPolicy::kNoLinks, name).valid());
}

TEST_F(ConfinedPath, ParentAndLastComponentAreSplit) {
    std::string name;
    UniqueFd p = OpenParentBeneath(root_.get(), "a/b/file.txt", LinkPolicy::kNoLinks, name);
    ASSERT_TRUE(p.valid());
    EXPECT_EQ(name, "file.txt");
    UniqueFd top = OpenParentBeneath(root_.get(), "top", LinkPolicy::kNoLinks, name);
    ASSERT_TRUE(top.valid());
    EXPECT_EQ(name, "top");
    // The last component itself may be a link: it is not resolved here.
    UniqueFd l = OpenParentBeneath(root_.get(), "a/out", LinkPolicy::kNoLinks, name);
    ASSERT_TRUE(l.valid());
    EXPECT_EQ(name, "out");
    // A link in the middle is refused.
    EXPECT_FALSE(OpenParentBeneath(root_.get(), "a/out/x", LinkPolicy::kNoLinks, name).valid());
}

}  // namespace

namespace {

TEST_F(ConfinedPath, FileOpensInOneCallWithTheSameRefusals) {
    { std::ofstream(base_ / "export/a/b/f") << "x"; }
    { std::ofstream(base_ / "outside/secret") << "y"; }
    fs::create_symlink(base_ / "outside/secret", base_ / "export/a/b/l");
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC;

    UniqueFd f = OpenFileBeneath(root_.get(), "a/b/f", flags);
    if (!f.valid() && errno == ENOSYS) GTEST_SKIP() << "no openat2 here: the walk serves instead";
    ASSERT_TRUE(f.valid());
    char c = 0;
    EXPECT_EQ(read(f.get(), &c, 1), 1);
    EXPECT_EQ(c, 'x');
    EXPECT_TRUE(OpenFileBeneath(root_.get(), "/a/b/f", flags).valid());  // leading slash is the root

    // A link on the way, a link as the last component, "..", the root itself.
    EXPECT_FALSE(OpenFileBeneath(root_.get(), "a/out/secret", flags).valid());
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(OpenFileBeneath(root_.get(), "a/inner/f", flags).valid());
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(OpenFileBeneath(root_.get(), "a/b/l", flags).valid());
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(OpenFileBeneath(root_.get(), "a/../a/b/f", flags).valid());
    EXPECT_EQ(errno, EXDEV);
    EXPECT_FALSE(OpenFileBeneath(root_.get(), "", flags).valid());
    EXPECT_FALSE(OpenFileBeneath(root_.get(), "a/b/missing", flags).valid());
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
