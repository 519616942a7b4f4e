// The LXMD stream's layout, byte for byte as documented, and the records a
// restore refuses.
#include <linux/fs.h>

#include <gtest/gtest.h>

#include <vector>

#include "grfs/linux_meta_stream.h"

namespace {

TEST(LinuxMetaStream, TheDocumentedExampleEncodesAndDecodesByteForByte) {
    LINUX_META meta;
    meta.mtime_sec = 1614834367;  // 2021-03-04 05:06:07 UTC
    meta.mtime_nsec = 123456789;
    meta.atime_sec = 1600000000;
    meta.atime_nsec = 500000000;
    meta.has_flags = true;
    meta.flags = FS_NODUMP_FL | FS_EXTENT_FL;
    const std::vector<unsigned char> expected = {
        0x01, 0x00, 0x01, 0x00,                                                  //
        0xBF, 0x6A, 0x40, 0x60, 0x00, 0x00, 0x00, 0x00, 0x15, 0xCD, 0x5B, 0x07,  //
        0x00, 0x10, 0x5E, 0x5F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x65, 0xCD, 0x1D,  //
        0x40, 0x00, 0x08, 0x00};
    EXPECT_EQ(EncodeLinuxMeta(meta), expected);
    LINUX_META back;
    ASSERT_TRUE(DecodeLinuxMeta(expected, &back));
    EXPECT_EQ(back.mtime_sec, meta.mtime_sec);
    EXPECT_EQ(back.mtime_nsec, meta.mtime_nsec);
    EXPECT_EQ(back.atime_sec, meta.atime_sec);
    EXPECT_EQ(back.atime_nsec, meta.atime_nsec);
    EXPECT_TRUE(back.has_flags);
    EXPECT_EQ(back.flags, meta.flags);
    EXPECT_EQ(InodeFlagNames(back.flags), "no-dump,extents");

    // Before 1970, and a link's record without flags.
    LINUX_META old;
    old.mtime_sec = -1;
    old.mtime_nsec = 750000000;
    ASSERT_TRUE(DecodeLinuxMeta(EncodeLinuxMeta(old), &back));
    EXPECT_EQ(back.mtime_sec, -1);
    EXPECT_FALSE(back.has_flags);

    // Refused: another length, another version, unknown present bits,
    // a whole second of nanoseconds, flags said to be absent.
    auto changed = [&](size_t at, unsigned char v) {
        std::vector<unsigned char> b = expected;
        b[at] = v;
        return b;
    };
    std::vector<unsigned char> longer = expected;
    longer.push_back(0);
    EXPECT_FALSE(DecodeLinuxMeta(longer, &back));
    EXPECT_FALSE(DecodeLinuxMeta(changed(0, 2), &back));
    EXPECT_FALSE(DecodeLinuxMeta(changed(2, 3), &back));
    std::vector<unsigned char> second = expected;
    second[12] = 0x00, second[13] = 0xCA, second[14] = 0x9A, second[15] = 0x3B;  // 1,000,000,000
    EXPECT_FALSE(DecodeLinuxMeta(second, &back));
    EXPECT_FALSE(DecodeLinuxMeta(changed(2, 0), &back));
}

}  // namespace
