// Seeking objects: the distances a seek moves, its replies, and that reads
// after a seek hand out the object's bytes at the new position whether it
// lies inside the read-ahead buffer or beyond it.
#include <gtest/gtest.h>

#include "object_io_fixture.h"

namespace io_test {
namespace {

using SeekTest = ObjectIoTest;

TEST(SeekDistanceRule, ShortCountsMoveAsAskedLongOnesToTheNextBlock) {
    EXPECT_EQ(SeekDistance(0, 100), 100u);
    EXPECT_EQ(SeekDistance(0, 511), 511u);
    EXPECT_EQ(SeekDistance(0, 0), 0u);
    EXPECT_EQ(SeekDistance(0, 1000), 24u);
    EXPECT_EQ(SeekDistance(0, 512), 512u);
    EXPECT_EQ(SeekDistance(10, 1014), 512u);
    EXPECT_EQ(SeekDistance(10, 1013), 1u);
    EXPECT_EQ(SeekDistance(0xFFFFFFFFFFFFFF00ull, 0x200), 0x100u);  // wraps like the 64-bit sum
}

TEST_F(SeekTest, DistancesAndRepliesOfBothForms) {
    WriteFile(Export("f"), RandomBytes(10000, 1));
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("f", OPEN_MODE_READ, true, &obj), 0);
    uint32_t d32 = 0;
    EXPECT_EQ(Seek(obj, 1000, &d32), 0);
    EXPECT_EQ(d32, 24u);
    EXPECT_EQ(sent_.last_body_size, 4);
    EXPECT_EQ(Seek(obj, 100, &d32), 0);
    EXPECT_EQ(d32, 100u);
    uint64_t d64 = 0;
    EXPECT_EQ(SeekLarge(obj, 0x100000000ull, &d64), 0);  // from 124: up to 512
    EXPECT_EQ(d64, 388u);
    EXPECT_EQ(sent_.last_body_size, 8);
    EXPECT_EQ(AsU64(LookupOpenObject(obj)->obj_pos), 512u);
}

TEST_F(SeekTest, LinksAndDevicesHaveNoDescriptorToMove) {
    ASSERT_EQ(symlink("abc", Export("l").c_str()), 0);
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("l", OPEN_MODE_READ, true, &obj), 0);
    uint64_t distance = 7;
    EXPECT_EQ(SeekLarge(obj, 4, &distance), GRFS_RC_BAD_OBJ_HANDLE);
    EXPECT_EQ(sent_.last_body_size, 0);
    EXPECT_EQ(AsU64(LookupOpenObject(obj)->obj_pos), 0u);
    // The record still reads whole.
    auto record = ReadAll(obj, 100, STRM_UNIX_EA, 10);
    EXPECT_EQ(record.size(), 10u);
}

// Reads at the object's position after every kind of seek; every byte must
// be the file's byte at its position and the last ones carry -500.
TEST_F(SeekTest, ReadsAfterSeeksReturnTheBytesAtTheNewPosition) {
    const size_t size = 200000;
    const auto bytes = RandomBytes(size, 42);
    WriteFile(Export("data"), bytes);
    struct Step {
        uint32_t read;   // bytes asked (0: no read)
        uint64_t count;  // seek count after the read (0: no seek)
    };
    const std::vector<std::vector<Step>> plans = {
        // short and long seeks well inside the buffer
        {{1000, 100}, {1000, 5000}, {2000, 1}, {31744, 300}, {31744, 0}},
        // drain the buffer to about 4500 bytes (no refill), then seek past it
        {{27200, 511}, {0, 511}, {0, 511}, {0, 511}, {0, 511}, {0, 511}, {0, 511}, {0, 511}, {0, 511}, {0, 511}},
        // seek first, before any read
        {{0, 1000}, {0, 37}, {4096, 700}, {0, 9999}},
        // seek exactly to the end of the buffered bytes
        {{31744 - 300, 300}, {100, 0}},
        // many small reads and seeks across refills
        {{4000, 3}, {4000, 600}, {4000, 3}, {4000, 600}, {4000, 3}, {4000, 600}, {4000, 3}, {4000, 600},
         {4000, 3}, {4000, 600}, {4000, 3}, {4000, 600}},
    };
    for (size_t p = 0; p < plans.size(); ++p) {
        SCOPED_TRACE(p);
        uint32_t obj = 0;
        ASSERT_EQ(OpenFile("data", OPEN_MODE_READ, true, &obj), 0);
        uint64_t pos = 0;
        bool ended = false;
        auto read_at = [&](uint32_t ask) {
            READ_REPLY r = ReadLarge(obj, ask, pos);
            ASSERT_TRUE(r.retcode == 0 || r.retcode == GRFS_RC_END_OF_DATA) << r.retcode;
            EXPECT_EQ(r.stream_id, pos == 0 ? STRM_STANDARD : 0u);
            ASSERT_LE(pos + r.size, size);
            EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), bytes.begin() + static_cast<long>(pos)))
                << "at " << pos;
            pos += r.size;
            if (r.retcode == GRFS_RC_END_OF_DATA) {
                EXPECT_EQ(pos, size);
                ended = true;
            } else {
                EXPECT_GT(r.size, 0u);
            }
        };
        for (const Step& step : plans[p]) {
            if (step.read != 0) read_at(step.read);
            if (step.count != 0) {
                uint64_t distance = 0;
                ASSERT_EQ(SeekLarge(obj, step.count, &distance), 0);
                EXPECT_EQ(distance, SeekDistance(pos, step.count));
                pos += distance;
                EXPECT_EQ(AsU64(LookupOpenObject(obj)->obj_pos), pos);
            }
        }
        // Read on to the end with an odd request size.
        for (int guard = 0; !ended && guard < 1000; ++guard) read_at(3333);
        EXPECT_TRUE(ended);
        EXPECT_EQ(Close(obj), 0);
    }
}

TEST_F(SeekTest, SeekNearTheEndThenReadGivesTheLastBytesWithEndCode) {
    const size_t size = 31744 + 700;
    const auto bytes = RandomBytes(size, 7);
    WriteFile(Export("tail"), bytes);
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("tail", OPEN_MODE_READ, true, &obj), 0);
    READ_REPLY r = ReadLarge(obj, 31744, 0);  // the whole primed buffer; refilled after the reply
    ASSERT_EQ(r.retcode, 0);
    uint64_t distance = 0;
    ASSERT_EQ(SeekLarge(obj, 600, &distance), 0);  // from 31744: 512 - (32344 % 512) = 424
    EXPECT_EQ(distance, 424u);
    const uint64_t pos = 31744 + distance;
    READ_REPLY last = ReadLarge(obj, 31744, pos);
    EXPECT_EQ(last.retcode, GRFS_RC_END_OF_DATA);
    ASSERT_EQ(last.size, size - pos);
    EXPECT_TRUE(std::equal(last.data.begin(), last.data.end(), bytes.begin() + static_cast<long>(pos)));
    // A seek past the end leaves nothing to read.
    ASSERT_EQ(SeekLarge(obj, 100, &distance), 0);
    READ_REPLY after = ReadLarge(obj, 100, pos + last.size + 100);
    EXPECT_EQ(after.retcode, GRFS_RC_END_OF_DATA);
    EXPECT_EQ(after.size, 0u);
}

TEST_F(SeekTest, PlainFormsReadAfterSeekToo) {
    const auto bytes = RandomBytes(70000, 9);
    WriteFile(Export("p"), bytes);
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("p", OPEN_MODE_READ, true, &obj), 0);
    uint32_t pos = 0;
    for (int i = 0; i < 40; ++i) {
        READ_REPLY r = Read(obj, 1500, pos);
        ASSERT_TRUE(std::equal(r.data.begin(), r.data.end(), bytes.begin() + pos)) << "at " << pos;
        pos += r.size;
        if (r.retcode == GRFS_RC_END_OF_DATA) break;
        uint32_t distance = 0;
        ASSERT_EQ(Seek(obj, i % 2 == 0 ? 200 : 4000, &distance), 0);
        pos += distance;
    }
}

}  // namespace
}  // namespace io_test
