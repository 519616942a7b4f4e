// An in-process stand-in for the agent on loopback: a thread that accepts
// one connection, runs the session-open exchange and answers GRFS requests
// from a small in-memory tree, or runs a raw script for the error cases.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "grfs/messages.h"

namespace fake {

struct Node {
    bool directory = false;
    uint32_t mode = S_IFREG | 0644;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t nlink = 1;
    uint64_t ino = 0;
    time_t mtime = 1000000000;
    std::string data;    // file data
    std::string target;  // symbolic-link target
    bool info_set = false;
};

// Writes all of bytes; reads exactly n bytes (false on end or error).
bool write_all(int fd, const void* bytes, size_t n);
bool read_exact(int fd, void* bytes, size_t n);
// The listening socket's accepted connection, or -1 after 10 s.
int accept_one(int listen_fd);

class FakeAgent {
public:
    FakeAgent();
    ~FakeAgent();

    uint16_t port() const { return port_; }

    // Serves one session with the GRFS loop below.
    void serve();
    // Runs script on the accepted connection instead.
    void serve_raw(std::function<void(int fd)> script);
    // Waits for the serving thread to end.
    void wait();

    // Configuration, set before serve().
    std::string workstation = "WS";
    std::string workstation_password;  // empty: none required
    std::vector<std::string> dles = {"EXP"};
    std::string dle_password;
    uint16_t max_obj_bsize = 31744;
    // The first write of an EA stream with fewer bytes than this is
    // answered with this blk_size and nothing consumed.
    uint32_t ea_blk_size = 0;
    // At most this many bytes are consumed per write (0: all).
    uint32_t max_consume = 0;

    std::map<std::string, Node> tree;  // "" is the root; paths relative to it

    // What the session did, for the tests to check after wait().
    std::vector<uint8_t> request_types;
    std::vector<std::string> attach_names;      // unscrambled
    std::vector<std::string> attach_passwords;  // unscrambled
    std::vector<uint16_t> attach_reasons;
    std::vector<std::string> log;               // "CREATE d/b", "SETINFO d", ...
    size_t max_live_searches = 0;

    void add_file(const std::string& path, const std::string& data, uint32_t mode = S_IFREG | 0644);
    void add_dir(const std::string& path, uint32_t mode = S_IFDIR | 0755);
    void add_link(const std::string& path, const std::string& target);
    void add_fifo(const std::string& path);

private:
    void run(std::function<void(int fd)> body);
    void session(int fd);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    uint64_t next_ino_ = 100;
};

}  // namespace fake
