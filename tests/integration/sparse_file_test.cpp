// Sparse files: a backup serves holes as the zeros they read as, and a
// restore with sparse_restore leaves blocks of zeros as holes, whatever
// pieces the data arrives in, over existing files and for hard links.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>

#include "agent_process.h"
#include "e2e_support.h"
#include "tree_builder.h"

namespace e2e {
namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kSparseSize = 256 * kMiB;
constexpr uint16_t kReasonRestore = 0x4;
constexpr uint32_t kStreamStandard = 0x4E415453;

struct Extent {
    uint64_t offset;
    uint64_t length;
};

// A file of size bytes whose only data are the extents (pattern bytes of
// seed); the rest is holes.
void write_sparse(const std::string& path, uint64_t size, const std::vector<Extent>& extents, uint32_t seed) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    for (const Extent& e : extents) {
        std::vector<unsigned char> bytes(e.length);
        pattern(e.offset, bytes.data(), bytes.size(), seed);
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(e.offset)),
                  static_cast<ssize_t>(bytes.size()));
    }
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    close(fd);
}

uint64_t allocated(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return static_cast<uint64_t>(st.st_blocks) * 512;
}

// "" when the files hold the same bytes.
std::string same_bytes(const std::string& got, const std::string& want) {
    struct stat st{};
    if (stat(want.c_str(), &st) != 0) return "cannot stat " + want;
    int fd = open(want.c_str(), O_RDONLY);
    if (fd < 0) return "cannot open " + want;
    std::string diff = compare_file(got, static_cast<uint64_t>(st.st_size), [&](uint64_t at, unsigned char* out, size_t n) {
        return pread(fd, out, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
    });
    close(fd);
    return diff;
}

// The 4 KiB blocks of a file that hold data, as SEEK_DATA and SEEK_HOLE see them.
std::set<uint64_t> data_blocks(const std::string& path) {
    std::set<uint64_t> blocks;
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    off_t at = 0;
    for (;;) {
        const off_t data = lseek(fd, at, SEEK_DATA);
        if (data < 0) break;
        const off_t hole = lseek(fd, data, SEEK_HOLE);
        for (off_t b = data / 4096; b * 4096 < hole; ++b) blocks.insert(static_cast<uint64_t>(b));
        at = hole;
    }
    close(fd);
    return blocks;
}

// How many pages of the file's first length bytes are in the page cache.
size_t cached_pages(const std::string& path, size_t length) {
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    EXPECT_NE(map, MAP_FAILED);
    if (map == MAP_FAILED) return 0;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((length + page - 1) / page);
    EXPECT_EQ(mincore(map, length, resident.data()), 0);
    munmap(map, length);
    size_t n = 0;
    for (unsigned char r : resident) n += r & 1;
    return n;
}

// Creates the object of dblk and opens it for WRITE; 0 (and a failure
// reported to the running test) when either fails.
OBJ_HANDLE open_for_restore(grfs_client::Peer& peer, const grfs_client::Dblk& dblk) {
    grfs_client::Connection& c = peer.connection();
    EXPECT_EQ(replied_retcode(grfs_client::create_object(c, peer.dle_id(), dblk)), 0);
    auto opened = grfs_client::open_object(c, peer.dle_id(), dblk, GRFS_OPEN_WRITE);
    EXPECT_TRUE(opened.ok()) << opened.error().text;
    return opened.ok() ? opened->obj_id : 0;
}

GRFS_STREAM_INFO data_stream(uint32_t size) {
    GRFS_STREAM_INFO stream{};
    stream.id = kStreamStandard;
    stream.size = U64_Init(size, 0);
    return stream;
}

TEST(SparseFiles, ARestoreWithSparseRestoreKeepsHolesOverOldFilesAndLinksAndWithoutItAllocatesAll) {
    TempDir source("sparse-src");
    TempDir copy("sparse-copy");
    TempDir plain("sparse-plain");
    TempDir work("sparse-work");
    // 4 MiB of data at odd offsets, one extent close to the end, and a
    // trailing hole; a second file whose data ends the file, under two names.
    write_sparse(source.path() + "/disk.img", kSparseSize,
                 {{1000, kMiB}, {100 * kMiB + 77, kMiB}, {200 * kMiB, kMiB}, {254 * kMiB + 5, kMiB}}, 7);
    write_sparse(source.path() + "/linked.img", 64 * kMiB, {{3 * kMiB + 1, 4096}, {64 * kMiB - 10000, 10000}}, 9);
    ASSERT_EQ(link((source.path() + "/linked.img").c_str(), (source.path() + "/second.img").c_str()), 0);
    ASSERT_LT(allocated(source.path() + "/disk.img"), 5 * kMiB);

    agent_it::AgentConfig config;
    config.extra_lines = export_line(source.path(), "SRC") + export_line(copy.path(), "COPY") +
                         export_line(plain.path(), "PLAIN") + "sparse_restore\n";
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string archive = work.path() + "/sparse.grfsarc";
    ProcessResult backup = run_grfsclient(with_session({"backup", agent_host_port(agent), "SRC", archive}, agent));
    ASSERT_EQ(backup.status, 0) << backup.describe();

    // Over old files: one longer and dense, of other bytes.
    write_pattern_file(copy.path() + "/disk.img", 8 * kMiB, 3);
    write_pattern_file(copy.path() + "/linked.img", 70 * kMiB, 4);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("restore " + std::to_string(round + 1));
        ProcessResult restore = run_grfsclient(with_session({"restore", archive, agent_host_port(agent), "COPY"}, agent));
        ASSERT_EQ(restore.status, 0) << restore.describe();
        for (const char* name : {"disk.img", "linked.img", "second.img"}) {
            SCOPED_TRACE(name);
            EXPECT_EQ(same_bytes(copy.path() + "/" + name, source.path() + "/" + name), "");
        }
        EXPECT_LE(allocated(copy.path() + "/disk.img"), 5 * kMiB + 512 * 1024);
        EXPECT_LE(allocated(copy.path() + "/linked.img"), 128 * 1024);
        struct stat a{}, b{};
        ASSERT_EQ(stat((copy.path() + "/linked.img").c_str(), &a), 0);
        ASSERT_EQ(stat((copy.path() + "/second.img").c_str(), &b), 0);
        EXPECT_EQ(a.st_ino, b.st_ino);
    }
    agent.Stop();

    // The same backup restored by an agent without the keyword: every block written.
    agent_it::AgentConfig dense;
    dense.extra_lines = export_line(plain.path(), "PLAIN");
    agent_it::AgentProcess without(dense);
    ASSERT_TRUE(without.Start());
    ProcessResult restore = run_grfsclient(with_session({"restore", archive, agent_host_port(without), "PLAIN"}, without));
    ASSERT_EQ(restore.status, 0) << restore.describe();
    EXPECT_EQ(same_bytes(plain.path() + "/disk.img", source.path() + "/disk.img"), "");
    EXPECT_GE(allocated(plain.path() + "/disk.img"), kSparseSize);
}

TEST(SparseFiles, DataInPiecesOfAnySizeLeavesExactlyTheBlocksOfZerosAsHoles) {
    agent_it::AgentConfig config;
    config.extra_lines = "sparse_restore\n";
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    // 25 blocks and 300 bytes: a block of zeros cut across three requests,
    // blocks with a single byte of data at either end, a block whose data
    // starts in one request and ends in the next, zeros at the end.
    const size_t size = 25 * 4096 + 300;
    std::vector<unsigned char> bytes(size, 0);
    std::set<uint64_t> expected;
    for (uint64_t b : {1, 2, 6, 11, 12, 13, 20}) {
        pattern(b * 4096, bytes.data() + b * 4096, 4096, 5);
        expected.insert(b);
    }
    bytes[8 * 4096] = 1;           // first byte of block 8
    bytes[15 * 4096 + 4095] = 2;   // last byte of block 15
    bytes[17 * 4096 + 2000] = 3;   // inside block 17
    expected.insert({8, 15, 17});
    write_file(agent.export_dir() + "/pieces.bin", std::string(size, 'x'));

    grfs_client::Peer data = expect_peer(agent, "DATA", 0);
    auto dblk = find_listed(data, "", "pieces.bin");
    ASSERT_TRUE(dblk);
    data.close();
    grfs_client::Peer peer = expect_peer(agent, "DATA", kReasonRestore);
    grfs_client::Connection& c = peer.connection();
    const OBJ_HANDLE obj = open_for_restore(peer, *dblk);
    ASSERT_NE(obj, 0u);
    const GRFS_STREAM_INFO stream = data_stream(static_cast<uint32_t>(size));
    const size_t cuts[] = {1000, 4097, 3, 8191, 1, 6000, 12289, 777};
    size_t done = 0;
    for (size_t i = 0; done < size; ++i) {
        const size_t n = std::min(cuts[i % std::size(cuts)], size - done);
        auto w = grfs_client::write_piece(c, obj, done, done == 0 ? stream : GRFS_STREAM_INFO{},
                                          std::span<const unsigned char>(bytes.data() + done, n));
        ASSERT_TRUE(w.ok()) << w.error().text;
        ASSERT_EQ(w->consumed, n);
        done += n;
    }
    EXPECT_TRUE(grfs_client::close_object(c, obj).ok());
    // Zeros sent into an object opened for reading still fail.
    auto reading = grfs_client::open_object(c, peer.dle_id(), *dblk, GRFS_OPEN_READ);
    ASSERT_TRUE(reading.ok()) << reading.error().text;
    const std::vector<unsigned char> zeros(100, 0);
    EXPECT_EQ(failed_retcode(grfs_client::write_piece(c, reading->obj_id, 0, stream, zeros)), GRFS_RC_NO_SPACE);
    EXPECT_TRUE(grfs_client::close_object(c, reading->obj_id).ok());
    peer.close();

    const std::string path = agent.export_dir() + "/pieces.bin";
    const std::vector<unsigned char> got = read_file_bytes(path);
    EXPECT_TRUE(got == bytes) << "the restored file differs (" << got.size() << " bytes)";
    EXPECT_EQ(data_blocks(path), expected);
}

TEST(SparseFiles, AStreamCutShortInZerosKeepsItsLengthUnlessSetInformationChangesIt) {
    agent_it::AgentConfig config;
    config.extra_lines = "sparse_restore\n";
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    write_file(agent.export_dir() + "/kept.bin", std::string(5000, 'x'));
    write_file(agent.export_dir() + "/sized.bin", std::string(10000, 'x'));
    grfs_client::Peer peer = expect_peer(agent, "DATA", kReasonRestore);
    // 4096 bytes of data and 8192 zeros of a stream announced as 20000 bytes.
    std::vector<unsigned char> bytes(12288, 0);
    std::fill(bytes.begin(), bytes.begin() + 4096, 'd');
    for (const char* name : {"kept.bin", "sized.bin"}) {
        SCOPED_TRACE(name);
        auto dblk = find_listed(peer, "", name);
        ASSERT_TRUE(dblk);
        grfs_client::Connection& c = peer.connection();
        const OBJ_HANDLE obj = open_for_restore(peer, *dblk);
        ASSERT_NE(obj, 0u);
        auto w = grfs_client::write_piece(c, obj, 0, data_stream(20000), bytes);
        ASSERT_TRUE(w.ok()) << w.error().text;
        // Set information makes sized.bin as long as its block says.
        if (std::string(name) == "sized.bin") {
            EXPECT_EQ(replied_retcode(grfs_client::set_object_info(c, peer.dle_id(), *dblk)), 0);
        }
        EXPECT_TRUE(grfs_client::close_object(c, obj).ok());
    }
    std::string kept = read_file(agent.export_dir() + "/kept.bin");
    EXPECT_EQ(kept, std::string(4096, 'd') + std::string(8192, '\0'));
    EXPECT_EQ(data_blocks(agent.export_dir() + "/kept.bin"), std::set<uint64_t>{0});
    EXPECT_EQ(read_file(agent.export_dir() + "/sized.bin"), kept.substr(0, 10000));
}

TEST(SparseFiles, ABackupSendsHolesAsTheyReadWhenTheyAreReached) {
    agent_it::AgentConfig config;
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string path = agent.export_dir() + "/holes.bin";
    // Beyond 1 MiB, a stretch of many small extents.
    std::vector<Extent> extents = {{1, 5000}, {700 * 1024 + 3, 9000}, {2 * kMiB - 17, 50}};
    for (uint64_t at = kMiB; at < kMiB + 256 * 1024; at += 8192) extents.push_back({at + 100, 3000});
    write_sparse(path, 2 * kMiB + 333, extents, 11);

    // Read whole: the same bytes as the file, and the hole between 16 KiB
    // and 700 KiB was never read (none of its pages came into the cache).
    grfs_client::Peer peer = expect_peer(agent, "DATA", 0);
    auto dblk = find_listed(peer, "", "holes.bin");
    ASSERT_TRUE(dblk);
    auto streams = peer.read_object("", *dblk);
    ASSERT_TRUE(streams.ok()) << streams.error().text;
    ASSERT_EQ(streams->size(), 1u);
    EXPECT_EQ(cached_pages(path, 700 * 1024) - cached_pages(path, 16 * 1024), 0u);
    const std::vector<unsigned char> want = read_file_bytes(path);
    EXPECT_TRUE((*streams)[0].bytes == want) << (*streams)[0].bytes.size() << " bytes read";

    // Data written into a hole after the open and a shortened file are read
    // as they are when the read reaches them.
    grfs_client::Connection& c = peer.connection();
    auto opened = grfs_client::open_object(c, peer.dle_id(), *dblk, GRFS_OPEN_READ);
    ASSERT_TRUE(opened.ok()) << opened.error().text;
    auto first = grfs_client::read_piece(c, opened->obj_id, 0, 31744);
    ASSERT_TRUE(first.ok()) << first.error().text;
    std::vector<unsigned char> got(first->data.begin(), first->data.end());
    {
        int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const std::string late(4096, 'L');
        ASSERT_EQ(pwrite(fd, late.data(), late.size(), 512 * 1024), 4096);
        ASSERT_EQ(ftruncate(fd, 1536 * 1024), 0);
        close(fd);
    }
    for (;;) {
        auto piece = grfs_client::read_piece(c, opened->obj_id, got.size(), 31744);
        ASSERT_TRUE(piece.ok()) << piece.error().text;
        got.insert(got.end(), piece->data.begin(), piece->data.end());
        if (piece->retcode != 0 || piece->data.empty()) break;
    }
    EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
    EXPECT_EQ(got.size(), 1536u * 1024);
    EXPECT_TRUE(got == read_file_bytes(path));
}

}  // namespace
}  // namespace e2e
