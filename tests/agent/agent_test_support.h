// Shared fixtures of the agent tests: a private temporary directory, a
// capture of standard error at descriptor level, and a clean workstation
// record.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agent/session_process.h"
#include "nrl/nrl_debug.h"
#include "unixfs/session/workstation.h"
#include "util/debug_print.h"

namespace agent_test {

class TempDir {
public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "agent-test-XXXXXX").string();
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) std::abort();
        path_ = buf.data();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Writes text to name inside the directory and returns the full path.
    std::string write(const std::string& name, const std::string& text) const {
        std::string full = *this / name;
        std::ofstream(full, std::ios::binary) << text;
        return full;
    }
    std::string mkdir(const std::string& name) const {
        std::string full = *this / name;
        std::filesystem::create_directories(full);
        return full;
    }

private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Everything written to descriptor 2 between construction and text(),
// including the pid-prefixed trace lines, which bypass stdio.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        file_ = dir_.path() + "/stderr";
        int fd = open(file_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        saved_ = dup(STDERR_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() {
        restore();
        return read_file(file_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    TempDir dir_;
    std::string file_;
    int saved_ = -1;
};

// The globals as a freshly started agent has them, before the file is read.
inline void reset_workstation() {
    std::memset(&ws_cntl, 0, sizeof ws_cntl);
    InitQueue(&ws_cntl.dle_list);
    InitQueue(&ws_cntl.tell_list);
    InitQueue(&ws_cntl.hard_link_list);
    std::memset(&gb_grfs_config, 0, sizeof gb_grfs_config);
    gb_nrl_conn_timeout = 60;
    gb_session_idle_timeout = 0;
    advertise_interval = 0;
    grfs_debug = 0;
    nrl_debug_flag = 0;
    prog_name = "agent";
}

inline int count_queue(const Queue& q) {
    int n = 0;
    for (QElem* e = q.head; e != nullptr; e = e->next) ++n;
    return n;
}

}  // namespace agent_test
