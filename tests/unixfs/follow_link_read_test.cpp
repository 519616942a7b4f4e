// Found by the session fuzz target: with follow_symdirs on, a read open of a
// symbolic link to a file, sent with a block that carries no Unix information
// of the agent's, followed the link and handed out the file it points to,
// wherever that lies (here outside the export). follow_symdirs lets a walk
// and its reads pass through links to directories; the object a file block
// names is never followed: a link is read as its own record.
// fuzz_inputs/follow_link_read.bin is the fuzzer's input; its open request
// (the 14th record, fuzz/fuzz_input.h) is replayed here as it came.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "grfs/messages.h"
#include "object_io_fixture.h"

namespace {

using io_test::ObjectIoTest;

const std::string kSecret = "a file outside the export\n";

class FollowLinkRead : public ObjectIoTest {
protected:
    void SetUp() override {
        ObjectIoTest::SetUp();
        ws_cntl.follow_symdirs = 1;
        std::ofstream(base_ / "outside" / "secret.txt") << kSecret;
        std::filesystem::create_directories(base_ / "outside" / "dir");
        std::ofstream(base_ / "outside" / "dir" / "linked.txt") << "reached through a directory link\n";
        ASSERT_EQ(symlink("../outside/secret.txt", Export("link_rel").c_str()), 0);
        ASSERT_EQ(symlink((base_ / "outside" / "secret.txt").c_str(), Export("link_abs").c_str()), 0);
        ASSERT_EQ(symlink("../outside/dir", Export("link_dir").c_str()), 0);
    }

    // The open request of the fuzzer's input, decoded as the session decodes it.
    std::vector<unsigned char> FuzzerOpenRequest() {
        std::ifstream in(std::string(AGENT_SOURCE_DIR) + "/tests/unixfs/fuzz_inputs/follow_link_read.bin",
                         std::ios::binary);
        const std::vector<unsigned char> input((std::istreambuf_iterator<char>(in)), {});
        size_t at = 0;
        for (int record = 0; at + 3 <= input.size(); ++record) {
            const size_t len = input[at + 1] | static_cast<size_t>(input[at + 2]) << 8;
            at += 3;
            const size_t n = std::min(len, input.size() - at);
            if (record == 13) return {input.begin() + static_cast<long>(at), input.begin() + static_cast<long>(at + n)};
            at += n;
        }
        return {};
    }

    // Whatever an open object reads as, whole.
    std::string ReadWhole(uint32_t obj) {
        std::string got;
        uint64_t offset = 0;
        for (int guard = 0; guard < 1000; ++guard) {
            io_test::READ_REPLY r = ReadLarge(obj, 31744, offset);
            got.append(r.data.begin(), r.data.end());
            offset += r.size;
            if (r.retcode != 0 || r.size == 0) break;
        }
        return got;
    }
};

TEST_F(FollowLinkRead, TheFuzzersOpenOfALinkWithoutUnixInformationIsRefused) {
    const std::vector<unsigned char> request = FuzzerOpenRequest();
    ASSERT_EQ(request.size(), 261u);
    ASSERT_EQ(grfs_decode_request(request, req_.get()), GRFS_CODE_COMPLETE);
    ASSERT_EQ(req_->hdr.msg_type, GRFS_OPEN_OBJ);
    ASSERT_STREQ(reinterpret_cast<const char*>(dblk_bytes(&req_->body.open_obj.dblk)) + 180, "link_rel");
    ASSERT_EQ(req_->body.open_obj.dblk.os_id, 0);  // no information of the agent's
    uint32_t obj = 0;
    EXPECT_EQ(SendOpen(req_->body.open_obj.mode, &obj), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(ses_->object_list.head, nullptr);
}

TEST_F(FollowLinkRead, LinksToFilesAreNeverFollowedWhateverTheBlockSays) {
    for (const char* name : {"link_rel", "link_abs"}) {
        SCOPED_TRACE(name);
        // A block that calls the link a regular file.
        struct stat regular {};
        regular.st_mode = S_IFREG | 0644;
        regular.st_size = static_cast<off_t>(kSecret.size());
        io_test::BuildFileDblk(&req_->body.open_obj.dblk, name, &regular);
        EXPECT_EQ(SendOpen(OPEN_MODE_READ), GRFS_RC_ACCESS_DENIED);
        EXPECT_EQ(SendOpen(OPEN_MODE_VERIFY), GRFS_RC_ACCESS_DENIED);
        // No information at all.
        EXPECT_EQ(OpenFile(name, OPEN_MODE_READ, false), GRFS_RC_ACCESS_DENIED);
        // The block the listing makes: the link's own record.
        uint32_t obj = 0;
        ASSERT_EQ(OpenFile(name, OPEN_MODE_READ, true, &obj), 0);
        const std::string record = ReadWhole(obj);
        EXPECT_EQ(record.find(kSecret), std::string::npos);
        EXPECT_NE(record.find("secret.txt"), std::string::npos);  // the target's name, not its bytes
        EXPECT_EQ(Close(obj), 0);
    }
}

TEST_F(FollowLinkRead, FilesBehindALinkToADirectoryAreStillRead) {
    std::snprintf(current_path_, sizeof current_path_, "link_dir");
    // The link leads out of the export: followed only where the server
    // cannot write.
    EXPECT_EQ(OpenFile("linked.txt", OPEN_MODE_READ, true), GRFS_RC_ACCESS_DENIED);
    dle_->writable = 0;
    uint32_t obj = 0;
    ASSERT_EQ(OpenFile("linked.txt", OPEN_MODE_READ, true, &obj), 0);
    EXPECT_EQ(ReadWhole(obj), "reached through a directory link\n");
    EXPECT_EQ(Close(obj), 0);
}

}  // namespace
