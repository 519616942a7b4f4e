// What reaches the socket, byte for byte: the real agent driven over TCP,
// each reply read off the connection (NRL header and GRFS message) and
// compared with bytes written out here field by field from the message
// layouts. Bytes that differ from run to run (handles, search handles) are
// not compared; dates and stat fields are computed from the file itself.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "agent_process.h"
#include "hardening_support.h"
#include "raw_session.h"

namespace {

using agent_it::AgentProcess;
using agent_it::Bytes;
using agent_it::RawSession;

constexpr int kAny = -1;
constexpr uint32_t kStan = 0x4E415453;  // "STAN": the data stream

// Bytes written field by field: little-endian unless the name says
// big-endian; kAny marks a byte that is not compared.
struct Image {
    std::vector<int> v;

    Image& u8(unsigned x) {
        v.push_back(static_cast<int>(x & 0xFF));
        return *this;
    }
    Image& le(uint64_t x, int n) {
        for (int i = 0; i < n; ++i) u8(static_cast<unsigned>(x >> (8 * i)));
        return *this;
    }
    Image& le16(uint64_t x) { return le(x, 2); }
    Image& le32(uint64_t x) { return le(x, 4); }
    Image& le64(uint64_t x) { return le(x, 8); }
    Image& be(uint64_t x, int n) {
        for (int i = n - 1; i >= 0; --i) u8(static_cast<unsigned>(x >> (8 * i)));
        return *this;
    }
    Image& zeros(size_t n) { return fill(n, 0); }
    Image& any(size_t n) { return fill(n, kAny); }
    Image& fill(size_t n, int b) {
        v.insert(v.end(), n, b);
        return *this;
    }
    // The text and its zero, then zeros up to width bytes (0: no padding).
    Image& text(std::string_view s, size_t width = 0) {
        for (char c : s) u8(static_cast<unsigned char>(c));
        u8(0);
        if (width > s.size() + 1) zeros(width - s.size() - 1);
        return *this;
    }
    Image& raw(const Bytes& b) {
        for (unsigned char c : b) u8(c);
        return *this;
    }
    // A DATE_TIME of the local time of t.
    Image& date(time_t t) {
        tm local{};
        localtime_r(&t, &local);
        le16(1).le16(local.tm_year + 1900).le16(local.tm_mon + 1).le16(local.tm_mday);
        return le16(local.tm_hour).le16(local.tm_min).le16(local.tm_sec).le16(local.tm_wday);
    }
    Image& header(uint8_t type, int16_t retcode, uint32_t id) {
        return u8(type).u8(0).le16(static_cast<uint16_t>(retcode)).le32(id);
    }
    size_t size() const { return v.size(); }
    Bytes bytes() const {
        Bytes b;
        for (int x : v) b.push_back(static_cast<unsigned char>(x));
        return b;
    }
};

// The NRL data message that carries msg.
Image Framed(const Image& msg) {
    Image f;
    f.u8(0).u8(0).le16(msg.size());
    f.v.insert(f.v.end(), msg.v.begin(), msg.v.end());
    return f;
}

::testing::AssertionResult Matches(const Bytes& got, const Image& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " bytes instead of " << want.size();
    for (size_t i = 0; i < got.size(); ++i) {
        if (want.v[i] != kAny && got[i] != want.v[i])
            return ::testing::AssertionFailure() << "byte " << i << " is " << int(got[i]) << ", not " << want.v[i];
    }
    return ::testing::AssertionSuccess();
}

uint32_t Le32At(const Bytes& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Fields of replies as they sit on the wire: NRL header (4), GRFS header (8).
constexpr size_t kBody = 12;

// A file block made the way a server makes one for a restore: no Unix
// information, the name at 180.
Image FileBlock(std::string_view name) {
    Image b;
    b.u8(9).u8(0).zeros(58).u8(0).u8(0).zeros(2).zeros(64).le64(0).le32(0x20);
    b.le16(0).le16(0).le16(0).le16(0).le16(0).le16(180 + name.size() + 1).le16(0).le16(0);
    b.le16(176).le16(4).le16(0).le16(0).le16(0).zeros(2);
    b.le16(0).le16(180).le16(180).le16(0).zeros(4).text(name);
    return b;
}

// A block of type 1: its 168 fixed bytes and nothing else.
Image TypeOneBlock() {
    Image b;
    b.u8(1).u8(0).zeros(58).u8(0).u8(0).zeros(2).zeros(64).le64(0).le32(0);
    b.le16(0).le16(0).le16(0).le16(0).le16(0).le16(168).le16(0).le16(0);
    return b.le16(0).le16(0).le16(0).le16(0).le16(0).zeros(2);
}

// The block the agent lists for the file at path, named name: 240 bytes for
// a 3-character name. The search handle (at 176) is not compared.
Image ListedFileBlock(const std::string& path, std::string_view name) {
    struct stat st{};
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    const uint16_t size = static_cast<uint16_t>(176 + 4 + name.size() + 1 + 56);
    const bool unreadable = (st.st_mode & 0444) == 0;
    Image b;
    b.u8(9).u8(0).zeros(58).u8(20).u8(0).zeros(2);
    b.date(st.st_ctime).date(st.st_atime).zeros(16).date(st.st_mtime);
    b.le64(static_cast<uint64_t>(st.st_size)).le32(0x20 | (unreadable ? 1 : 0));
    b.le16(1).le16(176).le16(4 + name.size() + 1).le16(181 + name.size()).le16(56).le16(size);
    b.le16(0).le16(0).le16(176).le16(4).le16(0).le16(0).le16(0).zeros(2);
    b.le16(0).le16(180).le16(180).le16(0);
    b.any(4).text(name);
    // Unix information: big-endian numbers, the version word in wire order.
    b.be(st.st_dev & 0xFFFFFFFFu, 4).be(st.st_rdev & 0xFFFFFFFFu, 4).be(st.st_mode, 4).be(st.st_uid, 4);
    b.be(st.st_gid, 4).be(static_cast<uint64_t>(st.st_size), 8).zeros(12).le16(1).zeros(2);
    b.be(st.st_ino, 8).be(st.st_nlink, 4);
    EXPECT_EQ(b.size(), size);
    return b;
}

class WireGolden : public ::testing::Test {
protected:
    explicit WireGolden(agent_it::AgentConfig config = {}) : agent_(std::move(config)) {}

    void SetUp() override {
        ASSERT_TRUE(agent_.Start());
        std::filesystem::create_directory(agent_.export_dir() + "/g");
        std::ofstream(agent_.export_dir() + "/g/abc") << "0123456789";
        session_.emplace(agent_.session_address());
        ASSERT_TRUE(session_->valid());
    }
    void TearDown() override {
        session_.reset();
        hardening::ExpectCleanStop(agent_);
    }

    // One request out, the whole NRL message of its reply back.
    Bytes Exchange(const Image& request) {
        EXPECT_TRUE(session_->SendMessage(request.bytes()));
        auto header = session_->ReadExact(4, 10000);
        if (!header) return {};
        const size_t size = (*header)[2] | ((*header)[3] << 8);
        auto body = size == 0 ? std::optional<Bytes>(Bytes{}) : session_->ReadExact(size, 10000);
        Bytes wire = *header;
        if (body) wire.insert(wire.end(), body->begin(), body->end());
        return wire;
    }

    // GRFS_ATTACH_DLE. With an all-zero password field the name travels
    // as it is (it is scrambled with the password's byte sum).
    static Image Attach(uint32_t id, std::string_view name, uint32_t parent, uint16_t bsize) {
        Image r;
        r.header(1, 0, id).text(name, 128).le32(parent).le16(0).le16(4).le16(bsize).le16(0).zeros(48).zeros(128);
        return r;
    }

    // The successful attach reply: 22 bytes stated, 19 coded, 3 zeros.
    static Image Attached(uint32_t id, uint16_t max_obj_bsize, bool children) {
        Image m;
        m.header(65, 0, id).any(4).le16(1).le16(1).le16(0x000C).le16(max_obj_bsize).le16(children ? 1 : 0);
        return Framed(m.le16(1).le16(0).text("").zeros(3));
    }

    AgentProcess agent_;
    std::optional<RawSession> session_;
};

TEST_F(WireGolden, RepliesAreTheBytesOfTheirLayouts) {
    // Session open: status 0 and 512 zero bytes.
    Image open_reply;
    open_reply.le16(0).zeros(512);
    EXPECT_TRUE(Matches(session_->Open(), open_reply));

    // Attach refused: the header alone, -507.
    Image refused;
    EXPECT_TRUE(Matches(Exchange(Attach(0x11, "NOBODY", 0, 512)), Framed(refused.header(65, -507, 0x11))));

    // Attach to the workstation and to the export: 8 + 22 = 30 bytes each.
    Bytes ws = Exchange(Attach(0x12, agent_.workstation(), 0, 0x8000));
    EXPECT_TRUE(Matches(ws, Attached(0x12, 31744, true)));
    ASSERT_EQ(ws.size(), 4u + 30u);
    Bytes dle = Exchange(Attach(0x13, "DATA", Le32At(ws, kBody), 4096));
    EXPECT_TRUE(Matches(dle, Attached(0x13, 4096, false)));
    ASSERT_EQ(dle.size(), 4u + 30u);
    const uint32_t dle_id = Le32At(dle, kBody);

    // Server information: always 264 bytes; the two dates vary.
    Image info;
    info.header(93, 0, 0x14).le32(1).le32(40).le16(1).any(14).le16(1).any(14).zeros(216);
    EXPECT_TRUE(Matches(Exchange(Image().header(29, 0, 0x14).zeros(16)), Framed(info)));

    // Into g, which holds only abc (10 bytes).
    Image cd;
    EXPECT_TRUE(Matches(Exchange(Image().header(18, 0, 0x15).le32(dle_id).le16(2).text("g")),
                        Framed(cd.header(82, 0, 0x15))));

    // The listing: one block of 176 + 4 + 4 + 56 = 240 bytes, then -505 with
    // `more` false and nothing else.
    const std::string abc = agent_.export_dir() + "/g/abc";
    Image listed;
    listed.header(69, 0, 0x16).le16(1).u8(0).u8(0);
    const Image block = ListedFileBlock(abc, "abc");
    listed.v.insert(listed.v.end(), block.v.begin(), block.v.end());
    Bytes found = Exchange(Image().header(5, 0, 0x16).le32(dle_id).le16(0).text("*"));
    EXPECT_TRUE(Matches(found, Framed(listed)));
    ASSERT_EQ(found.size(), 4u + 8u + 4u + 240u);
    const Bytes abc_block(found.begin() + kBody + 4, found.end());
    Image end;
    EXPECT_TRUE(Matches(Exchange(Image().header(6, 0, 0x17).le32(dle_id).raw(abc_block)),
                        Framed(end.header(69, -505, 0x17).le16(0))));

    // Read: the stream header and all 10 bytes, with the end-of-object code.
    Bytes opened = Exchange(Image().header(9, 0, 0x18).le32(dle_id).le16(0).u8(0).u8(0).raw(abc_block));
    ASSERT_GE(opened.size(), kBody + 4);
    EXPECT_EQ(opened[6] | (opened[7] << 8), 0);
    const uint32_t obj_id = Le32At(opened, kBody);
    Image read;
    read.header(74, -500, 0x19).le16(10).le16(1).le32(kStan).le16(0).le16(0).le64(10);
    for (char c : std::string_view("0123456789")) read.u8(static_cast<unsigned char>(c));
    EXPECT_TRUE(Matches(Exchange(Image().header(10, 0, 0x19).le32(obj_id).le16(512).le32(0).zeros(2)),
                        Framed(read)));

    // Seek: both halves of the distance, 16 bytes in all.
    Image seek;
    EXPECT_TRUE(Matches(Exchange(Image().header(27, 0, 0x1A).le32(obj_id).le64(100)),
                        Framed(seek.header(91, 0, 0x1A).le64(100))));
    Image closed;
    EXPECT_TRUE(Matches(Exchange(Image().header(14, 0, 0x1B).le32(obj_id)), Framed(closed.header(78, 0, 0x1B))));

    // Restore of new.txt: create (header only), open for writing, write.
    const Image new_block = FileBlock("new.txt");
    Image created;
    EXPECT_TRUE(Matches(Exchange(Image().header(8, 0, 0x1C).le32(dle_id).raw(new_block.bytes())),
                        Framed(created.header(72, 0, 0x1C))));
    Bytes for_write = Exchange(Image().header(9, 0, 0x1D).le32(dle_id).le16(1).u8(0).u8(0).raw(new_block.bytes()));
    ASSERT_GE(for_write.size(), kBody + 4);
    EXPECT_EQ(for_write[6] | (for_write[7] << 8), 0);
    const uint32_t write_id = Le32At(for_write, kBody);
    Image written;
    Image write = Image().header(11, 0, 0x1E).le32(write_id).le32(0).le32(kStan).le16(0).le16(0).le64(5).le16(5);
    for (char c : std::string_view("hello")) write.u8(static_cast<unsigned char>(c));
    EXPECT_TRUE(Matches(Exchange(write.zeros(2)), Framed(written.header(75, 0, 0x1E).le16(5).le16(1))));
    Image closed_write;
    EXPECT_TRUE(Matches(Exchange(Image().header(14, 0, 0x1F).le32(write_id)),
                        Framed(closed_write.header(78, 0, 0x1F))));
    std::stringstream restored;
    restored << std::ifstream(agent_.export_dir() + "/g/new.txt").rdbuf();
    EXPECT_EQ(restored.str(), "hello");

    // A request cut short: -495, the header alone.
    Image cut;
    EXPECT_TRUE(Matches(Exchange(Image().header(29, 0, 0x20).zeros(4)), Framed(cut.header(93, -495, 0x20))));
}

TEST_F(WireGolden, BlocksOfEveryShapeAreAnsweredByTheirHandlers) {
    ASSERT_EQ(session_->OpenStatus(), 0);
    Bytes ws = Exchange(Attach(1, agent_.workstation(), 0, 4096));
    ASSERT_EQ(ws.size(), 4u + 30u);
    Bytes dle = Exchange(Attach(2, "DATA", Le32At(ws, kBody), 4096));
    ASSERT_EQ(dle.size(), 4u + 30u);
    const uint32_t dle_id = Le32At(dle, kBody);
    ASSERT_EQ(Exchange(Image().header(18, 0, 3).le32(dle_id).le16(2).text("g")).size(), 12u);

    // A block without find information names no search: the end of the
    // listing, not an invalid request.
    Image no_find = FileBlock("abc");
    no_find.v[158] = 0;  // find_info_size
    Image end;
    EXPECT_TRUE(Matches(Exchange(Image().header(6, 0, 4).le32(dle_id).raw(no_find.bytes())),
                        Framed(end.header(69, -505, 4).le16(0))));

    // A block of type 1 is whole with its 168 bytes: create refuses its
    // type, prepare returns it as it came.
    const Bytes type_one = TypeOneBlock().bytes();
    ASSERT_EQ(type_one.size(), 168u);
    Image wrong_type;
    EXPECT_TRUE(Matches(Exchange(Image().header(8, 0, 5).le32(dle_id).raw(type_one)),
                        Framed(wrong_type.header(72, -510, 5))));
    Image prepared;
    EXPECT_TRUE(Matches(Exchange(Image().header(24, 0, 6).le32(dle_id).raw(type_one)),
                        Framed(prepared.header(88, 0, 6).raw(type_one))));

    // A block longer than 4096 bytes is still a block: abc is described.
    Image big = FileBlock("abc");
    big.v[150] = 5000 & 0xFF;
    big.v[151] = 5000 >> 8;
    big.zeros(5000 - big.size());
    Bytes described = Exchange(Image().header(16, 0, 7).le32(dle_id).raw(big.bytes()));
    ASSERT_EQ(described.size(), 4u + 8u + 240u);
    EXPECT_EQ(described[6] | (described[7] << 8), 0);

    // Set information on a name the restore made, which now leads to a file
    // put there by someone else: -504 with the header alone, as for a
    // missing object.
    const Image swap = FileBlock("swap.txt");
    Image made;
    EXPECT_TRUE(Matches(Exchange(Image().header(8, 0, 8).le32(dle_id).raw(swap.bytes())),
                        Framed(made.header(72, 0, 8))));
    const std::string g = agent_.export_dir() + "/g/";
    std::ofstream(g + "planted") << "x";
    ASSERT_EQ(std::rename((g + "planted").c_str(), (g + "swap.txt").c_str()), 0);
    Image refused;
    EXPECT_TRUE(Matches(Exchange(Image().header(20, 0, 9).le32(dle_id).raw(swap.bytes())),
                        Framed(refused.header(84, -504, 9))));
}

}  // namespace

namespace {

// A raw session that has opened g/abc of the DATA export for reading: the
// flow both stream tests below share up to the first READ.
class OpenedForReading {
public:
    explicit OpenedForReading(const AgentProcess& agent) : s_(agent.session_address()) {
        if (s_.OpenStatus() != 0) return;
        auto attach = [](uint32_t id, std::string_view name, uint32_t parent) {
            Image r;
            return r.header(1, 0, id).text(name, 128).le32(parent).le16(0).le16(4).le16(4096).le16(0).zeros(176);
        };
        Bytes ws = Exchange(attach(1, agent.workstation(), 0));
        if (ws.size() != 4u + 30u) return;
        Bytes dle = Exchange(attach(2, "DATA", Le32At(ws, kBody)));
        if (dle.size() != 4u + 30u) return;
        const uint32_t dle_id = Le32At(dle, kBody);
        if (Exchange(Image().header(18, 0, 3).le32(dle_id).le16(2).text("g")).size() != 12u) return;
        Bytes found = Exchange(Image().header(5, 0, 3).le32(dle_id).le16(0).text("*"));
        if (found.size() <= kBody + 4) return;
        const Bytes block(found.begin() + kBody + 4, found.end());
        Bytes opened = Exchange(Image().header(9, 0, 4).le32(dle_id).le16(0).u8(0).u8(0).raw(block));
        if (opened.size() < kBody + 4) return;
        obj_id_ = Le32At(opened, kBody);
        ok_ = true;
    }
    bool ok() const { return ok_; }
    uint32_t obj_id() const { return obj_id_; }
    Bytes Exchange(const Image& request) {
        EXPECT_TRUE(s_.SendMessage(request.bytes()));
        auto header = s_.ReadExact(4, 10000);
        if (!header) return Bytes{};
        const size_t size = (*header)[2] | ((*header)[3] << 8);
        auto body = size == 0 ? std::optional<Bytes>(Bytes{}) : s_.ReadExact(size, 10000);
        Bytes wire = *header;
        if (body) wire.insert(wire.end(), body->begin(), body->end());
        return wire;
    }
    // READ of 512 bytes at offset, request id id.
    Bytes Read(uint32_t offset, uint32_t id) {
        return Exchange(Image().header(10, 0, id).le32(obj_id_).le16(512).le32(offset).zeros(2));
    }

private:
    RawSession s_;
    bool ok_ = false;
    uint32_t obj_id_ = 0;
};

// The data stream of g/abc ("0123456789") as a READ answers it.
Image TenDataBytes(uint32_t id) {
    Image data;
    data.header(74, 0, id).le16(10).le16(1).le32(kStan).le16(0).le16(0).le64(10);
    for (char c : std::string_view("0123456789")) data.u8(static_cast<unsigned char>(c));
    return data;
}

// With xattrs, a file's attributes follow its data as the LXAT stream:
// little-endian count, then per attribute name length, value length, name
// and value, sorted by name.
TEST(WireGoldenXattrs, TheLxatStreamFollowsTheDataStream) {
    agent_it::AgentConfig config;
    config.extra_lines = "xattrs\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    std::filesystem::create_directory(agent.export_dir() + "/g");
    const std::string path = agent.export_dir() + "/g/abc";
    std::ofstream(path) << "0123456789";
    ASSERT_EQ(setxattr(path.c_str(), "user.zeta", "1", 1, 0), 0) << std::strerror(errno);
    ASSERT_EQ(setxattr(path.c_str(), "user.alpha", "hello", 5, 0), 0);
    {
        OpenedForReading s(agent);
        ASSERT_TRUE(s.ok());
        // What the open announced is what is read, whatever changes since.
        ASSERT_EQ(setxattr(path.c_str(), "user.alpha", "changed later", 13, 0), 0);
        ASSERT_EQ(setxattr(path.c_str(), "user.beta", "new", 3, 0), 0);

        // The data stream alone: the object goes on.
        EXPECT_TRUE(Matches(s.Read(0, 5), Framed(TenDataBytes(5))));

        // Then "LXAT", 41 bytes, with the end-of-object code.
        Image lxat;
        lxat.header(74, -500, 6).le16(41).le16(1).u8('L').u8('X').u8('A').u8('T').le16(0).le16(0).le64(41);
        lxat.le32(2);
        lxat.le16(10).le32(5);
        for (char c : std::string_view("user.alphahello")) lxat.u8(static_cast<unsigned char>(c));
        lxat.le16(9).le32(1);
        for (char c : std::string_view("user.zeta1")) lxat.u8(static_cast<unsigned char>(c));
        EXPECT_TRUE(Matches(s.Read(10, 6), Framed(lxat)));
        Image closed;
        EXPECT_TRUE(Matches(s.Exchange(Image().header(14, 0, 7).le32(s.obj_id())), Framed(closed.header(78, 0, 7))));
    }
    hardening::ExpectCleanStop(agent);
}

// With linux_metadata, a file's times to the nanosecond and its inode flags
// follow its data as the 32-byte LXMD stream, taken when it was opened.
TEST(WireGoldenLinuxMetadata, TheLxmdStreamFollowsTheDataStream) {
    agent_it::AgentConfig config;
    config.extra_lines = "linux_metadata\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    std::filesystem::create_directory(agent.export_dir() + "/g");
    const std::string path = agent.export_dir() + "/g/abc";
    std::ofstream(path) << "0123456789";
    // no-dump where the file system keeps flags; none are carried where not.
    uint32_t flags = 0;
    uint16_t present = 0;
    {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        int f = 0;
        if (ioctl(fd, FS_IOC_GETFLAGS, &f) == 0) {
            f |= FS_NODUMP_FL;
            if (ioctl(fd, FS_IOC_SETFLAGS, &f) == 0 && ioctl(fd, FS_IOC_GETFLAGS, &f) == 0) {
                flags = static_cast<uint32_t>(f);
                present = 1;
            }
        }
        close(fd);
    }
    const timespec times[2] = {{-1, 999999999}, {1234567890, 123456789}};  // atime, mtime
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << std::strerror(errno);
    {
        OpenedForReading s(agent);
        ASSERT_TRUE(s.ok());
        EXPECT_TRUE(Matches(s.Read(0, 5), Framed(TenDataBytes(5))));
        Image lxmd;
        lxmd.header(74, -500, 6).le16(32).le16(1).u8('L').u8('X').u8('M').u8('D').le16(0).le16(0).le64(32);
        lxmd.le16(1).le16(present);
        lxmd.le64(1234567890).le32(123456789);                    // mtime
        lxmd.le64(static_cast<uint64_t>(int64_t{-1})).le32(999999999);  // atime, before 1970
        lxmd.le32(flags);
        EXPECT_TRUE(Matches(s.Read(10, 6), Framed(lxmd)));
    }
    hardening::ExpectCleanStop(agent);
}

}  // namespace

namespace {

class WireGoldenAcl : public WireGolden {
protected:
    static agent_it::AgentConfig WithPosixAcls() {
        agent_it::AgentConfig config;
        config.extra_lines = "posix_acls\n";
        return config;
    }
    WireGoldenAcl() : WireGolden(WithPosixAcls()) {}
};

// With posix_acls a file's ACL follows its data as the IACL stream: a count
// and 12-byte entries in host (here little-endian) order, the mask as
// CLASS_OBJ, named entries by id. A buffer too small for it is answered with
// its length in blk_size; asked again, it comes whole without a header.
TEST_F(WireGoldenAcl, AFilesAclFollowsItsDataWhole) {
    std::filesystem::create_directory(agent_.export_dir() + "/h");
    const std::string path = agent_.export_dir() + "/h/acl";
    std::ofstream(path) << "0123456789";
    // USER_OBJ rw-, USER 1001 rw-, GROUP_OBJ rwx, GROUP 2002 r-x, MASK r--, OTHER r--.
    Image xattr;
    xattr.le32(2);
    xattr.le16(0x01).le16(6).le32(0xFFFFFFFF).le16(0x02).le16(6).le32(1001);
    xattr.le16(0x04).le16(7).le32(0xFFFFFFFF).le16(0x08).le16(5).le32(2002);
    xattr.le16(0x10).le16(4).le32(0xFFFFFFFF).le16(0x20).le16(4).le32(0xFFFFFFFF);
    const Bytes value = xattr.bytes();
    ASSERT_EQ(setxattr(path.c_str(), "system.posix_acl_access", value.data(), value.size(), 0), 0) << errno;
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);

    ASSERT_EQ(session_->OpenStatus(), 0);
    Bytes ws = Exchange(Attach(1, agent_.workstation(), 0, 0x8000));
    Bytes dle = Exchange(Attach(2, "DATA", Le32At(ws, kBody), 0x8000));
    const uint32_t dle_id = Le32At(dle, kBody);
    Exchange(Image().header(18, 0, 3).le32(dle_id).le16(2).text("h"));
    Bytes found = Exchange(Image().header(5, 0, 4).le32(dle_id).le16(0).text("*"));
    ASSERT_GT(found.size(), kBody + 4);
    const Bytes block(found.begin() + kBody + 4, found.end());
    Bytes opened = Exchange(Image().header(9, 0, 5).le32(dle_id).le16(0).u8(0).u8(0).raw(block));
    ASSERT_GE(opened.size(), kBody + 4);
    ASSERT_EQ(opened[6] | (opened[7] << 8), 0);
    const uint32_t obj_id = Le32At(opened, kBody);
    auto read = [&](uint32_t id, uint16_t size, uint32_t offset) {
        return Exchange(Image().header(10, 0, id).le32(obj_id).le16(size).le32(offset).zeros(2));
    };

    Image data;
    data.header(74, 0, 6).le16(10).le16(1).le32(kStan).le16(0).le16(0).le64(10);
    for (char c : std::string_view("0123456789")) data.u8(static_cast<unsigned char>(c));
    EXPECT_TRUE(Matches(read(6, 512, 0), Framed(data)));

    constexpr uint32_t kIacl = 0x4C434149;
    Image asks_more;
    asks_more.header(74, 0, 7).le16(0).le16(76).le32(kIacl).le16(0).le16(0).le64(76);
    EXPECT_TRUE(Matches(read(7, 32, 10), Framed(asks_more)));

    Image acl;
    acl.header(74, -500, 8).le16(76).le16(1).le32(0).le16(0).le16(0).le64(0);
    acl.le32(6);
    acl.le32(0x01).le32(st.st_uid).le16(6).zeros(2).le32(0x02).le32(1001).le16(6).zeros(2);
    acl.le32(0x04).le32(st.st_gid).le16(7).zeros(2).le32(0x08).le32(2002).le16(5).zeros(2);
    acl.le32(0x10).le32(0).le16(4).zeros(2).le32(0x20).le32(0).le16(4).zeros(2);
    EXPECT_TRUE(Matches(read(8, 512, 10), Framed(acl)));
}

}  // namespace
