// A real temporary tree with one export attached (a drvdle made by hand with
// a handle and a root descriptor), a session whose replies are inspected in
// host form, and builders for the DBLKs a backup server sends back.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "grfs/dates.h"
#include "grfs/dblk.h"
#include "grfs/messages.h"
#include "reply_capture.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/session/created_objects.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/handle_table.h"
#include "unixfs/session/hard_links.h"
#include "unixfs/session/workstation.h"

namespace restore_test {

// Unix information of a DBLK, in host order.
struct UnixInfo {
    uint32_t dev = 1;
    uint32_t rdev = 0;
    uint32_t mode = 0100644;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t size = 0;
    uint64_t ino = 0;
    uint32_t nlink = 1;
};

inline void SetDates(GRFS_GEN_DBLK* dblk, time_t atime, time_t mtime) {
    ConvertToStdDate(&dblk->access_time, atime);
    ConvertToStdDate(&dblk->modified_time, mtime);
    ConvertToStdDate(&dblk->creation_time, mtime);
}

// A file DBLK laid out as the agent lays out its own: find information at
// 176, the name at 180, the versioned information behind it (or none).
inline void MakeFileDblk(GRFS_GEN_DBLK* dblk, const std::string& name, const UnixInfo* info,
                         uint32_t gen_attr = 0x20) {
    std::memset(dblk, 0, sizeof(*dblk));
    dblk->dblk_type = FDB_ID;
    dblk->find_info = 176;
    dblk->find_info_size = 4;
    uint8_t* bytes = dblk_bytes(dblk);
    std::memcpy(bytes + 180, name.c_str(), name.size() + 1);
    dblk->type_part.fdb.name = 180;
    dblk->type_part.fdb.os_name = 180;
    dblk->gen_attr = gen_attr;
    size_t end = 180 + name.size() + 1;
    if (info != nullptr) {
        dblk->os_id = DBLK_OS_ID_UNIX;
        dblk->os_ver = DBLK_OS_VER_UNIX;
        UNIX_FILE_OS_INFO os{};
        os.st_dev = info->dev;
        os.st_rdev = info->rdev;
        os.st_mode = info->mode;
        os.st_uid = info->uid;
        os.st_gid = info->gid;
        os.st_size = ToU64(info->size);
        os.os_info_version = kOsInfoVersion;
        os.st_ino = ToU64(info->ino);
        os.st_nlink = info->nlink;
        std::memcpy(bytes + end, &os, sizeof os);
        dblk->os_spec_info = static_cast<uint16_t>(end);
        dblk->os_spec_size = sizeof os;
        end += sizeof os;
        dblk->size = ToU64(info->size);
    }
    dblk->dblk_actual_size = static_cast<uint16_t>(end);
}

// A directory DBLK: path at 180, then the information and the path copy.
inline void MakeDirDblk(GRFS_GEN_DBLK* dblk, const std::string& path, const UnixInfo* info,
                        uint32_t gen_attr = 0x30) {
    std::memset(dblk, 0, sizeof(*dblk));
    dblk->dblk_type = DDB_ID;
    dblk->find_info = 176;
    dblk->find_info_size = 4;
    uint8_t* bytes = dblk_bytes(dblk);
    const uint16_t len = static_cast<uint16_t>(path.size() + 1);
    std::memcpy(bytes + 180, path.c_str(), len);
    dblk->type_part.ddb.path = 180;
    dblk->type_part.ddb.os_path = 180;
    dblk->type_part.ddb.path_leng = len;
    dblk->type_part.ddb.os_path_leng = len;
    dblk->gen_attr = gen_attr;
    size_t end = 180 + len;
    if (info != nullptr) {
        dblk->os_id = DBLK_OS_ID_UNIX;
        dblk->os_ver = DBLK_OS_VER_UNIX;
        UNIX_DIR_OS_INFO os{};
        os.st_dev = info->dev;
        os.st_rdev = info->rdev;
        os.st_mode = info->mode;
        os.st_uid = info->uid;
        os.st_gid = info->gid;
        os.dir_path_offset = 56;
        os.dir_path_length = len;
        os.os_info_version = kOsInfoVersion;
        os.st_ino = ToU64(info->ino);
        os.st_nlink = info->nlink;
        std::memcpy(bytes + end, &os, sizeof os);
        std::memcpy(bytes + end + sizeof os, path.c_str(), len);
        dblk->os_spec_info = static_cast<uint16_t>(end);
        dblk->os_spec_size = static_cast<uint16_t>(sizeof os + len);
        end += sizeof os + len;
        dblk->size = ToU64(info->size);
    }
    dblk->dblk_actual_size = static_cast<uint16_t>(end);
}

// The information the agent would have sent for an object on disk.
inline UnixInfo InfoOf(const struct stat& st) {
    UnixInfo info;
    info.dev = static_cast<uint32_t>(st.st_dev);
    info.rdev = static_cast<uint32_t>(st.st_rdev);
    info.mode = st.st_mode;
    info.uid = st.st_uid;
    info.gid = st.st_gid;
    info.size = static_cast<uint64_t>(st.st_size);
    info.ino = st.st_ino;
    info.nlink = static_cast<uint32_t>(st.st_nlink);
    return info;
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline struct stat Lstat(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

inline void WriteText(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

inline std::string ReadText(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return "<missing>";
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

class RestoreFixture : public ::testing::Test {
protected:
    void SetUp() override {
        HardLinkersReset(&ws_cntl);
        saved_umask_ = umask(022);
        char templ[] = "/tmp/restore_test.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        base_ = templ;
        chmod(base_.c_str(), 0755);
        export_ = base_ + "/export";
        outside_ = base_ + "/outside";
        ASSERT_EQ(mkdir(export_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(outside_.c_str(), 0755), 0);

        saved_ws_ = ws_cntl;
        ws_cntl.follow_symdirs = 0;
        ws_cntl.preserve_ctime = 0;
        std::memset(&dle_, 0, sizeof dle_);
        dle_.writable = 1;
        std::snprintf(dle_.export_path, sizeof dle_.export_path, "%s", export_.c_str());
        std::snprintf(dle_.resource_name, sizeof dle_.resource_name, "%s", "EXPORT");

        session_ = std::make_unique<GRFS_SESSION>();
        std::memset(session_.get(), 0, sizeof(GRFS_SESSION));
        session_->handles = &handles_;
        reply_ = std::make_unique<GRFS_MESSAGE>();
        request_ = std::make_unique<GRFS_MESSAGE>();
        session_->reply = reply_.get();
        sent_.Install(session_.get());
        session_->ws = &ws_cntl;

        std::memset(&wsdle_, 0, sizeof wsdle_);
        wsdle_.kind_tag = WSDLE_KIND_TAG;
        wsdle_.attached = 1;
        wsdle_.session = session_.get();
        std::memset(&drvdle_, 0, sizeof drvdle_);
        std::memset(current_path_, 0, sizeof current_path_);
        drvdle_.kind_tag = DRVDLE_KIND_TAG;
        drvdle_.parent = &wsdle_;
        drvdle_.dle = &dle_;
        drvdle_.attach_reason = 0x4;
        drvdle_.current_path = current_path_;
        drvdle_.max_name_len = 255;
        drvdle_.root_fd = OpenExportRoot(export_.c_str()).release();
        ASSERT_GE(drvdle_.root_fd, 0);
        drvdle_.handle = IssueHandle(session_->handles, &drvdle_, HANDLE_KIND_DRVDLE);
        ASSERT_NE(drvdle_.handle, 0u);
    }

    void TearDown() override {
        ReleaseAllObjects(session_.get());
        if (drvdle_.root_fd >= 0) close(drvdle_.root_fd);
        ReleaseCreatedObjects(&drvdle_);
        ResetHandleTable(session_->handles);
        HardLinkersReset(&ws_cntl);
        ws_cntl = saved_ws_;
        umask(saved_umask_);
        std::string command = "chmod -R u+rwx '" + base_ + "' 2>/dev/null; rm -rf '" + base_ + "'";
        if (!base_.empty()) (void)std::system(command.c_str());
    }

    std::string In(const std::string& rel) const { return export_ + "/" + rel; }
    std::string Out(const std::string& rel) const { return outside_ + "/" + rel; }

    // A request carrying a DBLK, for handlers of DBLK requests.
    GRFS_MESSAGE* DblkRequest(uint8_t type, const GRFS_GEN_DBLK& dblk, uint32_t dle_id = 0) {
        std::memset(&request_->hdr, 0, sizeof request_->hdr);
        request_->hdr.msg_type = type;
        request_->hdr.request_id = 0x1234 + type;
        request_->body.dblk_req.dle_id = dle_id != 0 ? dle_id : drvdle_.handle;
        copy_dblk(&request_->body.dblk_req.dblk, &dblk);
        return request_.get();
    }
    // Received length of a DBLK request: header, dle_id, the block.
    static int DblkLength(const GRFS_GEN_DBLK& dblk) { return 8 + 4 + dblk.dblk_actual_size; }

    // Runs a handler and checks the reply header it sent.
    template <typename Handler>
    int16_t Run(Handler handler, uint8_t type, const GRFS_GEN_DBLK& dblk, uint32_t dle_id = 0) {
        GRFS_MESSAGE* req = DblkRequest(type, dblk, dle_id);
        std::memset(&reply_->hdr, 0xEE, sizeof reply_->hdr);
        sent_.last_body_size = -1;
        handler(session_.get(), req, DblkLength(dblk));
        EXPECT_EQ(reply_->hdr.msg_type, type + GRFS_REPLY_OFFSET);
        EXPECT_EQ(reply_->hdr.request_id, 0x1234u + type);
        return reply_->hdr.retcode;
    }

    std::string base_, export_, outside_;
    mode_t saved_umask_ = 022;
    WS_CNTL saved_ws_{};
    DLE_RECORD dle_{};
    WSDLE wsdle_{};
    DRVDLE drvdle_{};
    char current_path_[kCurrentPathSize];
    HANDLE_TABLE handles_{};
    std::unique_ptr<GRFS_SESSION> session_;
    ReplyCapture sent_;
    std::unique_ptr<GRFS_MESSAGE> reply_;
    std::unique_ptr<GRFS_MESSAGE> request_;
};

}  // namespace restore_test
