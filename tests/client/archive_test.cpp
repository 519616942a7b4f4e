// The archive: exact bytes of its header and records, a write/read round
// trip, and the refusal of damaged or unfinished files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/archive_reader.h"
#include "client/archive_writer.h"
#include "client/dblk_info.h"

using namespace grfs_client;

namespace {

class TempFile {
public:
    TempFile() {
        char name[] = "/tmp/grfs_archive_testXXXXXX";
        int fd = mkstemp(name);
        close(fd);
        path_ = name;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }
    std::vector<unsigned char> bytes() const {
        std::ifstream in(path_, std::ios::binary);
        return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
    }
    void write(const std::vector<unsigned char>& b) const {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }

private:
    std::string path_;
};

GRFS_STREAM_INFO stream(uint32_t id, uint64_t size) {
    GRFS_STREAM_INFO s{};
    s.id = id;
    s.size = UINT64{static_cast<uint32_t>(size), static_cast<uint32_t>(size >> 32)};
    return s;
}

std::span<const unsigned char> text_bytes(const std::string& s) {
    return std::span(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

}  // namespace

TEST(Archive, FileHeaderAndRecordsHaveTheirDocumentedBytes) {
    EXPECT_EQ(archive_file_header(), (std::vector<unsigned char>{0x47, 0x52, 0x46, 0x53, 0x41, 0x52, 0x43, 0x00, 0x01, 0x00,
                                                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(stream_header_bytes(stream(0x4E415453, 0x0000000100000003ull)),
              (std::vector<unsigned char>{'S', 'T', 'A', 'N', 0, 0, 0, 0, 0x03, 0, 0, 0, 0x01, 0, 0, 0}));

    TempFile file;
    const Dblk dir = minimal_directory("");
    {
        auto w = ArchiveWriter::create(file.path(), {{"host", "h"}, {"dle", "D"}});
        ASSERT_TRUE(w.ok()) << w.error().text;
        ASSERT_TRUE(w->begin_object("", dir).ok());
        ASSERT_TRUE(w->stream_header(stream(0x4E415453, 3)).ok());
        ASSERT_TRUE(w->data(text_bytes("xyz")).ok());
        ObjectOutcome done;
        done.bytes = 3;
        ASSERT_TRUE(w->end_object(done).ok());
        ASSERT_TRUE(w->finish().ok());
    }
    std::vector<unsigned char> expected = archive_file_header();
    const std::string info = "host=h\ndle=D\n";
    expected.insert(expected.end(), {'H', 0, 0, 0, static_cast<unsigned char>(info.size()), 0, 0, 0});
    expected.insert(expected.end(), info.begin(), info.end());
    const auto wire = dir.wire();
    const size_t object_length = 2 + 0 + 2 + wire.size();
    expected.insert(expected.end(), {'O', 0, 0, 0, static_cast<unsigned char>(object_length), 0, 0, 0, 0, 0,
                                     static_cast<unsigned char>(wire.size()), 0});
    expected.insert(expected.end(), wire.begin(), wire.end());
    expected.insert(expected.end(), {'S', 0, 0, 0, 16, 0, 0, 0, 'S', 'T', 'A', 'N', 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0});
    expected.insert(expected.end(), {'D', 0, 0, 0, 3, 0, 0, 0, 'x', 'y', 'z'});
    expected.insert(expected.end(), {'E', 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0});
    expected.insert(expected.end(), {'Z', 0, 0, 0, 16, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(file.bytes(), expected);
}

TEST(Archive, RoundTripKeepsObjectsStreamsAndBytes) {
    TempFile file;
    std::string big(100000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
    const Dblk dir = minimal_directory("d/e");
    {
        auto w = ArchiveWriter::create(file.path(), {{"host", "h"}, {"start", ""}});
        ASSERT_TRUE(w.ok());
        ASSERT_TRUE(w->begin_object("d", dir).ok());
        // A stream delivered in three replies, then a second stream.
        ASSERT_TRUE(w->stream_header(stream(0x4E415453, big.size())).ok());
        ASSERT_TRUE(w->data(text_bytes(big.substr(0, 31744))).ok());
        ASSERT_TRUE(w->data(text_bytes(big.substr(31744, 31744))).ok());
        ASSERT_TRUE(w->data(text_bytes(big.substr(63488))).ok());
        ASSERT_TRUE(w->stream_header(stream(0x554E324F, 5)).ok());
        ASSERT_TRUE(w->data(text_bytes("ea123")).ok());
        ObjectOutcome o;
        o.bytes = big.size() + 5;
        ASSERT_TRUE(w->end_object(o).ok());
        ASSERT_TRUE(w->begin_object("", dir).ok());
        ObjectOutcome refused{-507, STAGE_OPEN_FAILED, 0};
        ASSERT_TRUE(w->end_object(refused).ok());
        ASSERT_TRUE(w->finish().ok());
    }
    auto r = ArchiveReader::open(file.path());
    ASSERT_TRUE(r.ok()) << r.error().text;
    EXPECT_EQ(info_value(r->info(), "host"), "h");
    EXPECT_EQ(info_value(r->info(), "start"), "");
    ArchivedObject o;
    auto more = r->next(o);
    ASSERT_TRUE(more.ok()) << more.error().text;
    ASSERT_TRUE(*more);
    EXPECT_EQ(o.dir, "d");
    EXPECT_EQ(o.dblk.text(), "d/e");
    EXPECT_EQ(std::vector<unsigned char>(o.dblk.wire().begin(), o.dblk.wire().end()),
              std::vector<unsigned char>(dir.wire().begin(), dir.wire().end()));
    ASSERT_EQ(o.streams.size(), 2u);
    EXPECT_EQ(o.streams[0].header.id, 0x4E415453u);
    EXPECT_EQ(o.streams[0].length, big.size());
    EXPECT_EQ(o.streams[0].extents.size(), 3u);
    auto all = r->read_all(o.streams[0]);
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(std::string(all->begin(), all->end()), big);
    // A piece across the boundary of two records.
    std::vector<unsigned char> piece(100);
    ASSERT_TRUE(r->read(o.streams[0], 31700, piece).ok());
    EXPECT_EQ(std::string(piece.begin(), piece.end()), big.substr(31700, 100));
    EXPECT_FALSE(r->read(o.streams[0], big.size() - 10, piece).ok());
    auto ea = r->read_all(o.streams[1]);
    EXPECT_EQ(std::string(ea->begin(), ea->end()), "ea123");
    EXPECT_TRUE(o.complete());

    more = r->next(o);
    ASSERT_TRUE(more.ok() && *more);
    EXPECT_EQ(o.outcome.retcode, -507);
    EXPECT_EQ(o.outcome.stage, STAGE_OPEN_FAILED);
    EXPECT_TRUE(o.streams.empty());
    EXPECT_EQ(o.index, 1u);

    more = r->next(o);
    ASSERT_TRUE(more.ok());
    EXPECT_FALSE(*more);
    EXPECT_EQ(r->object_count(), 2u);
    EXPECT_EQ(r->data_bytes(), big.size() + 5);
}

TEST(Archive, UnfinishedOrDamagedArchivesAreRefused) {
    TempFile file;
    {
        auto w = ArchiveWriter::create(file.path(), {{"host", "h"}});
        ASSERT_TRUE(w->begin_object("", minimal_directory("")).ok());
        ASSERT_TRUE(w->end_object(ObjectOutcome{}).ok());
        ASSERT_TRUE(w->finish().ok());
    }
    // The closing record (8 bytes of record header, 16 of counts) cut off,
    // as by a copy that stopped short.
    std::vector<unsigned char> whole = file.bytes();
    ASSERT_GT(whole.size(), 24u);
    file.write(std::vector<unsigned char>(whole.begin(), whole.end() - 24));
    auto r = ArchiveReader::open(file.path());
    ASSERT_TRUE(r.ok());
    ArchivedObject o;
    ASSERT_TRUE(r->next(o).ok());
    auto end = r->next(o);
    ASSERT_FALSE(end.ok());
    EXPECT_EQ(end.error().kind, ErrorKind::archive);
    EXPECT_NE(end.error().text.find("unfinished"), std::string::npos) << end.error().text;

    // Not an archive at all.
    file.write({'n', 'o', 't', ' ', 'a', 'n', ' ', 'a', 'r', 'c', 'h', 'i', 'v', 'e', '!', '!', 0, 0});
    r = ArchiveReader::open(file.path());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::archive);

    // A data record claiming more than the file holds.
    {
        auto w = ArchiveWriter::create(file.path(), {});
        ASSERT_TRUE(w->begin_object("", minimal_directory("")).ok());
        ASSERT_TRUE(w->data(text_bytes("abc")).ok());
        ASSERT_TRUE(w->end_object(ObjectOutcome{0, STAGE_COMPLETE, 3}).ok());
        ASSERT_TRUE(w->finish().ok());
    }
    std::vector<unsigned char> bytes = file.bytes();
    // The D record follows header, H and O; find it and inflate its length.
    for (size_t i = 0; i + 8 < bytes.size(); ++i) {
        if (bytes[i] == 'D' && bytes[i + 4] == 3 && bytes[i + 8] == 'a') {
            bytes[i + 6] = 0x10;
            break;
        }
    }
    file.write(bytes);
    r = ArchiveReader::open(file.path());
    ASSERT_TRUE(r.ok());
    auto bad = r->next(o);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind, ErrorKind::archive);

    // An end record whose byte count disagrees with the data.
    {
        auto w = ArchiveWriter::create(file.path(), {});
        ASSERT_TRUE(w->begin_object("", minimal_directory("")).ok());
        ASSERT_TRUE(w->data(text_bytes("abc")).ok());
        ASSERT_TRUE(w->end_object(ObjectOutcome{0, STAGE_COMPLETE, 4}).ok());
        ASSERT_TRUE(w->finish().ok());
    }
    r = ArchiveReader::open(file.path());
    bad = r->next(o);
    ASSERT_FALSE(bad.ok());
    EXPECT_NE(bad.error().text.find("object end counts 4 bytes"), std::string::npos) << bad.error().text;
}

TEST(Archive, WriterKeepsRecordsInOrder) {
    TempFile file;
    auto w = ArchiveWriter::create(file.path(), {});
    ASSERT_TRUE(w.ok());
    EXPECT_FALSE(w->data(text_bytes("x")).ok());
    EXPECT_FALSE(w->end_object(ObjectOutcome{}).ok());
    ASSERT_TRUE(w->begin_object("", minimal_directory("")).ok());
    EXPECT_FALSE(w->begin_object("", minimal_directory("")).ok());
    EXPECT_FALSE(w->finish().ok());
    EXPECT_FALSE(ArchiveWriter::create(file.path(), {{"bad\nkey", "v"}}).ok());
    EXPECT_FALSE(ArchiveWriter::create("/nonexistent-dir/x.arc", {}).ok());
}
