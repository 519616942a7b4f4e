// What a server receives when the file it reads is truncated, extended or
// replaced between its requests, off the socket byte for byte: the length
// of the data stream is the file's length at open, the read-ahead window
// (31744 bytes, taken after the open reply and refilled after a reply when
// little is left) is delivered as it was taken, a refill that meets the end
// of the file answers -500 with nothing, and the descriptor keeps reading
// the file that was opened.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent_process.h"
#include "raw_session.h"
#include "tree_builder.h"

namespace {

using agent_it::Bytes;

constexpr uint32_t kWindow = 31744;
constexpr uint64_t kFileSize = 100000;  // three windows and 4768 bytes
constexpr uint32_t kSeed = 11;
constexpr uint32_t kStan = 0x4E415453;
constexpr int16_t kEndOfObject = -500;

// A request, little-endian field by field.
struct Request {
    Bytes b;
    Request(uint8_t type, uint32_t id) { u8(type).u8(0).le(0, 2).le(id, 4); }
    Request& u8(unsigned x) {
        b.push_back(static_cast<unsigned char>(x));
        return *this;
    }
    Request& le(uint64_t x, int n) {
        for (int i = 0; i < n; ++i) u8(static_cast<unsigned>(x >> (8 * i)) & 0xFF);
        return *this;
    }
    Request& text(const std::string& s, size_t width = 0) {
        for (char c : s) u8(static_cast<unsigned char>(c));
        for (size_t i = s.size(); i < std::max(width, s.size() + 1); ++i) u8(0);
        return *this;
    }
    Request& raw(const Bytes& more) {
        b.insert(b.end(), more.begin(), more.end());
        return *this;
    }
};

uint64_t LeAt(const Bytes& b, size_t at, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[at + i];
    return v;
}

// One exchange: the GRFS message of the reply (its NRL header checked).
class Server {
public:
    explicit Server(const agent_it::AgentProcess& agent) : s_(agent.session_address()) {}

    Bytes Exchange(const Request& r) {
        EXPECT_TRUE(s_.SendMessage(r.b));
        auto head = s_.ReadExact(4, 10000);
        if (!head) return {};
        EXPECT_EQ((*head)[0], 0);
        const size_t size = LeAt(*head, 2, 2);
        auto body = size == 0 ? std::optional<Bytes>(Bytes{}) : s_.ReadExact(size, 10000);
        return body ? *body : Bytes{};
    }

    // Attaches the workstation and DATA, goes into dir and opens its only
    // file for reading; the object handle, 0 on failure.
    uint32_t OpenOnlyFile(const std::string& workstation, const std::string& dir) {
        if (s_.OpenStatus() != 0) return 0;
        Bytes ws = Exchange(Attach(1, workstation, 0));
        if (ws.size() != 30) return 0;
        Bytes dle = Exchange(Attach(2, "DATA", static_cast<uint32_t>(LeAt(ws, 8, 4))));
        if (dle.size() != 30) return 0;
        const uint32_t dle_id = static_cast<uint32_t>(LeAt(dle, 8, 4));
        Bytes cd = Exchange(Request(18, 3).le(dle_id, 4).le(dir.size() + 1, 2).text(dir));
        if (cd.size() != 8 || LeAt(cd, 2, 2) != 0) return 0;
        Bytes found = Exchange(Request(5, 4).le(dle_id, 4).le(0, 2).text("*"));
        if (found.size() <= 12 || LeAt(found, 2, 2) != 0) return 0;
        const Bytes block(found.begin() + 12, found.end());
        Bytes opened = Exchange(Request(9, 5).le(dle_id, 4).le(0, 2).u8(0).u8(0).raw(block));
        if (opened.size() < 12 || LeAt(opened, 2, 2) != 0) return 0;
        return static_cast<uint32_t>(LeAt(opened, 8, 4));
    }

    // A request that touches no object: once its reply is in, whatever the
    // agent does after the reply before it (the read-ahead) is done.
    void Barrier() { EXPECT_EQ(Exchange(Request(29, 6).raw(Bytes(16, 0))).size(), 264u); }

private:
    static Request Attach(uint32_t id, const std::string& name, uint32_t parent) {
        Request r(1, id);
        r.text(name, 128).le(parent, 4).le(0, 2).le(4, 2).le(kWindow, 2).le(0, 2);
        return r.raw(Bytes(48 + 128, 0));
    }

    agent_it::RawSession s_;
};

struct Reply {
    int16_t retcode;
    uint32_t bytes;
    bool stream_header;  // the data stream's header (id STAN, its length)
};

struct Case {
    const char* name;
    int reads_before;  // replies before the file changes
    std::function<void(const std::string& path, const std::string& dir)> change;
    std::vector<Reply> replies;  // what each read of kWindow bytes, at the offset reached, is answered with
    // From here on the file was cut: bytes delivered at and past this offset
    // were taken before the cut (see the test).
    uint64_t cut_at = UINT64_MAX;
};

void Truncate(const std::string& path, off_t size) { ASSERT_EQ(truncate(path.c_str(), size), 0); }

TEST(ReadDuringChange, TheServerReceivesTheWindowsAsTakenAndTheLengthAtOpen) {
    const std::vector<Case> cases = {
        {"cut at a page inside the window taken at open",
         0,
         [](const std::string& p, const std::string&) { Truncate(p, 16384); },
         {{0, kWindow, true}, {kEndOfObject, 0, false}},
         16384},
        {"cut inside a page inside the window taken at open",
         0,
         [](const std::string& p, const std::string&) { Truncate(p, 20000); },
         {{0, kWindow, true}, {kEndOfObject, 0, false}},
         20000},
        {"cut at a page inside a refilled window",
         1,
         [](const std::string& p, const std::string&) { Truncate(p, 40960); },
         {{0, kWindow, true}, {0, kWindow, false}, {kEndOfObject, 0, false}},
         40960},
        {"cut at a page beyond the window taken",
         0,
         [](const std::string& p, const std::string&) { Truncate(p, 65536); },
         {{0, kWindow, true}, {0, kWindow, false}, {0, 2048, false}, {kEndOfObject, 0, false}}},
        {"extended",
         0,
         [](const std::string& p, const std::string&) {
             Bytes more(50000);
             e2e::pattern(kFileSize, more.data(), more.size(), kSeed + 1);
             int fd = open(p.c_str(), O_WRONLY | O_APPEND);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(write(fd, more.data(), more.size()), static_cast<ssize_t>(more.size()));
             close(fd);
         },
         {{0, kWindow, true}, {0, kWindow, false}, {0, kWindow, false}, {kEndOfObject, 4768, false}}},
        {"replaced by a rename over its name",
         1,
         [](const std::string& p, const std::string& dir) {
             e2e::write_pattern_file(dir + "/.new", 200000, kSeed + 2);
             ASSERT_EQ(rename((dir + "/.new").c_str(), p.c_str()), 0);
         },
         {{0, kWindow, true}, {0, kWindow, false}, {0, kWindow, false}, {kEndOfObject, 4768, false}}},
    };

    agent_it::AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    Bytes original(kFileSize);
    e2e::pattern(0, original.data(), original.size(), kSeed);
    for (size_t c = 0; c < cases.size(); ++c) {
        const Case& k = cases[c];
        SCOPED_TRACE(k.name);
        const std::string dir_name = "c" + std::to_string(c);
        const std::string dir = agent.export_dir() + "/" + dir_name;
        std::filesystem::create_directory(dir);
        const std::string path = dir + "/f";
        e2e::write_pattern_file(path, kFileSize, kSeed);

        Server server(agent);
        const uint32_t obj = server.OpenOnlyFile(agent.workstation(), dir_name);
        ASSERT_NE(obj, 0u);
        server.Barrier();
        uint64_t offset = 0;
        uint32_t id = 100;
        for (size_t r = 0; r < k.replies.size(); ++r) {
            SCOPED_TRACE("read " + std::to_string(r + 1) + " at " + std::to_string(offset));
            if (static_cast<int>(r) == k.reads_before) k.change(path, dir);
            Bytes got = server.Exchange(Request(25, id).le(obj, 4).le(kWindow, 4).le(offset, 8));
            const Reply& want = k.replies[r];
            ASSERT_EQ(got.size(), 8u + 24u + want.bytes) << (got.size() >= 4 ? LeAt(got, 0, 4) : 0);
            EXPECT_EQ(got[0], 89);
            EXPECT_EQ(static_cast<int16_t>(LeAt(got, 2, 2)), want.retcode);
            EXPECT_EQ(LeAt(got, 4, 4), id);
            EXPECT_EQ(LeAt(got, 8, 4), want.bytes);
            EXPECT_EQ(LeAt(got, 12, 4), 1u);
            EXPECT_EQ(LeAt(got, 16, 4), want.stream_header ? kStan : 0u);
            EXPECT_EQ(LeAt(got, 20, 4), 0u);
            EXPECT_EQ(LeAt(got, 24, 8), want.stream_header ? kFileSize : 0u);
            // Bytes below the cut are the file's as it was opened. Bytes
            // past it were taken before the cut: as page references they
            // leave as the pages hold them when sent, and the kernel zeroes
            // what a truncation leaves of a page (or a large folio) beyond
            // the new end; so each is the byte taken or zero. No byte comes
            // from the file that replaced this one or from its extension.
            size_t wrong = 0;
            for (uint32_t i = 0; i < want.bytes; ++i) {
                const unsigned char b = got[32 + i];
                const uint64_t at = offset + i;
                if (b != original[at] && (at < k.cut_at || b != 0)) ++wrong;
            }
            EXPECT_EQ(wrong, 0u);
            offset += want.bytes;
            if (static_cast<int>(r) + 1 == k.reads_before) server.Barrier();
            ++id;
        }
    }
    agent.Stop();
}

}  // namespace
