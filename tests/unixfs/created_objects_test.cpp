// The record of what a restore made through an attachment: names in any
// spelling find their entry, a replaced object is told from the one made,
// and however many objects a restore makes, the record keeps a bounded
// number of entries and descriptors.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "unixfs/session/attach_records.h"
#include "unixfs/session/created_objects.h"

namespace {

int OpenDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

// Creates path and records it under rel as made.
void Make(CreatedObjects* created, const std::string& path, const std::string& rel) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd.valid()) << path;
    OBJECT_IDENTITY id;
    ASSERT_TRUE(ExamineObject(fd.get(), &id));
    created->Record(rel, id, UniqueFd(open(path.c_str(), O_PATH | O_CLOEXEC)));
}

OBJECT_IDENTITY IdentityAt(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    OBJECT_IDENTITY id;
    EXPECT_TRUE(fd.valid() && ExamineObject(fd.get(), &id)) << path;
    return id;
}

TEST(CreatedObjects, NamesReplacementsAndBounds) {
    char templ[] = "/tmp/created_objects.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    const std::string dir = templ;
    ASSERT_EQ(mkdir((dir + "/a").c_str(), 0755), 0);
    DRVDLE drvdle{};
    CreatedObjects* created = CreatedObjectsOf(&drvdle);
    ASSERT_NE(created, nullptr);

    Make(created, dir + "/a/b", "/a/b");
    for (const char* spelling : {"a/b", "/a/b", "a//./b/", "./a/b"}) {
        EXPECT_EQ(StandingOf(&drvdle, spelling, IdentityAt(dir + "/a/b")), NameStanding::kMade) << spelling;
    }
    EXPECT_EQ(StandingOf(&drvdle, "a/c", IdentityAt(dir + "/a/b")), NameStanding::kNotMade);

    // Someone else's file renamed over the name.
    const std::string theirs = dir + "/theirs";
    std::FILE* f = std::fopen(theirs.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ASSERT_EQ(rename(theirs.c_str(), (dir + "/a/b").c_str()), 0);
    EXPECT_EQ(StandingOf(&drvdle, "a/b", IdentityAt(dir + "/a/b")), NameStanding::kReplaced);
    created->Forget("a//b");
    EXPECT_EQ(StandingOf(&drvdle, "a/b", IdentityAt(dir + "/a/b")), NameStanding::kNotMade);

    // Many more objects than the bounds: a directory recorded first is
    // still known, and only a few descriptors are held.
    OBJECT_IDENTITY first_dir = IdentityAt(dir + "/a");
    created->Record("a", first_dir, UniqueFd());
    const int before = OpenDescriptors();
    const size_t many = CreatedObjects::kMaxObjects + 100;
    for (size_t i = 0; i < many; ++i) {
        const std::string name = "f" + std::to_string(i);
        if (i < 200) {
            Make(created, dir + "/" + name, name);
        } else {
            OBJECT_IDENTITY id;
            id.dev = 1;
            id.ino = i;
            id.type = S_IFREG;
            created->Record(name, id, UniqueFd());
        }
    }
    EXPECT_LE(OpenDescriptors() - before, static_cast<int>(CreatedObjects::kHeldDescriptors));
    EXPECT_EQ(created->size(), CreatedObjects::kMaxObjects + 1);
    EXPECT_EQ(StandingOf(&drvdle, "a", first_dir), NameStanding::kMade);
    EXPECT_EQ(StandingOf(&drvdle, "f0", IdentityAt(dir + "/f0")), NameStanding::kNotMade);  // the oldest went

    ReleaseCreatedObjects(&drvdle);
    EXPECT_LE(OpenDescriptors(), before);
    EXPECT_EQ(FindCreatedObjects(&drvdle), nullptr);
    EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
}

}  // namespace
