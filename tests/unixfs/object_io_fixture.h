// A real export tree, a session and a DLE attachment for the object open,
// read and seek tests, with builders for file and directory DBLKs and
// requests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "grfs/dblk.h"
#include "grfs/messages.h"
#include "reply_capture.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/session/created_objects.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/handle_table.h"
#include "unixfs/requests/open_object.h"
#include "unixfs/requests/read_object.h"
#include "unixfs/requests/seek_object.h"
#include "unixfs/session/workstation.h"

namespace io_test {

namespace fs = std::filesystem;


inline std::vector<unsigned char> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<unsigned char> out(n);
    for (auto& b : out) b = static_cast<unsigned char>(gen());
    return out;
}

inline void WriteFile(const fs::path& p, const std::vector<unsigned char>& bytes) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<unsigned char> ReadWholeFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// A file DBLK as the agent's listing makes it: name at 180, the versioned
// Unix information behind it (taken from lstat when with_info).
inline void BuildFileDblk(GRFS_GEN_DBLK* d, const std::string& name, const struct stat* st) {
    std::memset(d, 0, GRFS_DBLK_NET_SIZE + 4 + name.size() + 1 + kUnixFileOsInfoSize);
    d->dblk_type = FDB_ID;
    d->find_info = GRFS_DBLK_NET_SIZE;
    d->find_info_size = 4;
    const uint16_t name_at = GRFS_DBLK_NET_SIZE + 4;
    d->type_part.fdb.name = name_at;
    d->type_part.fdb.os_name = name_at;
    std::memcpy(dblk_bytes(d) + name_at, name.c_str(), name.size() + 1);
    uint16_t size = static_cast<uint16_t>(name_at + name.size() + 1);
    if (st != nullptr) {
        d->os_id = DBLK_OS_ID_UNIX;
        d->os_ver = DBLK_OS_VER_UNIX;
        d->size = ToU64(static_cast<uint64_t>(st->st_size));
        UNIX_FILE_OS_INFO info{};
        info.st_dev = static_cast<uint32_t>(st->st_dev);
        info.st_rdev = static_cast<uint32_t>(st->st_rdev);
        info.st_mode = st->st_mode;
        info.st_uid = st->st_uid;
        info.st_gid = st->st_gid;
        info.st_size = ToU64(static_cast<uint64_t>(st->st_size));
        info.os_info_version = kOsInfoVersion;
        info.st_ino = ToU64(st->st_ino);
        info.st_nlink = static_cast<uint32_t>(st->st_nlink);
        d->os_spec_info = size;
        d->os_spec_size = kUnixFileOsInfoSize;
        std::memcpy(dblk_bytes(d) + size, &info, sizeof info);
        size = static_cast<uint16_t>(size + kUnixFileOsInfoSize);
    }
    d->dblk_actual_size = size;
}

// A directory DBLK naming path (relative to the export root), without
// Unix information (the open does not read it).
inline void BuildDirDblk(GRFS_GEN_DBLK* d, const std::string& path) {
    std::memset(d, 0, GRFS_DBLK_NET_SIZE + 4 + path.size() + 1);
    d->dblk_type = DDB_ID;
    d->find_info = GRFS_DBLK_NET_SIZE;
    d->find_info_size = 4;
    const uint16_t path_at = GRFS_DBLK_NET_SIZE + 4;
    d->type_part.ddb.path = path_at;
    d->type_part.ddb.os_path = path_at;
    d->type_part.ddb.path_leng = static_cast<uint16_t>(path.size() + 1);
    d->type_part.ddb.os_path_leng = static_cast<uint16_t>(path.size() + 1);
    std::memcpy(dblk_bytes(d) + path_at, path.c_str(), path.size() + 1);
    d->dblk_actual_size = static_cast<uint16_t>(path_at + path.size() + 1);
}

// One reply of a read, copied out of the session's reply record.
struct READ_REPLY {
    int16_t retcode;
    uint32_t size;
    uint32_t blk_size;
    uint32_t stream_id;
    uint64_t stream_size;
    int body_size;
    std::vector<unsigned char> data;
};

class ObjectIoTest : public ::testing::Test {
protected:
    void SetUp() override {
                char tmpl[] = "/tmp/objectioXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        chmod(base_.c_str(), 0755);
        fs::create_directories(base_ / "export");
        fs::create_directories(base_ / "outside");
        chmod((base_ / "export").c_str(), 0755);

        saved_ws_follow_ = ws_cntl.follow_symdirs;
        saved_buffer_size_ = gb_grfs_config.object_buffer_size;
        ws_cntl.follow_symdirs = 0;
        gb_grfs_config.object_buffer_size = 31744;

        dle_ = std::make_unique<DLE_RECORD>();
        std::memset(dle_.get(), 0, sizeof(DLE_RECORD));
        dle_->writable = 1;
        std::snprintf(dle_->resource_name, sizeof dle_->resource_name, "EXPORT");
        std::snprintf(dle_->export_path, sizeof dle_->export_path, "%s", (base_ / "export").c_str());

        std::memset(current_path_, 0, sizeof current_path_);
        drvdle_ = std::make_unique<DRVDLE>();
        std::memset(drvdle_.get(), 0, sizeof(DRVDLE));
        drvdle_->kind_tag = DRVDLE_KIND_TAG;
        drvdle_->dle = dle_.get();
        drvdle_->current_path = current_path_;
        drvdle_->root_fd = OpenExportRoot(dle_->export_path).release();
        ASSERT_GE(drvdle_->root_fd, 0);

        reply_ = std::make_unique<GRFS_MESSAGE>();
        ses_ = std::make_unique<GRFS_SESSION>();
        std::memset(ses_.get(), 0, sizeof(GRFS_SESSION));
        ses_->handles = &handles_;
        wsdle_ = std::make_unique<WSDLE>();
        wsdle_->session = ses_.get();
        drvdle_->parent = wsdle_.get();
        drvdle_->handle = IssueHandle(ses_->handles, drvdle_.get(), HANDLE_KIND_DRVDLE);
        dle_id_ = drvdle_->handle;
        ses_->ws = &ws_cntl;
        ses_->reply = reply_.get();
        sent_.Install(ses_.get());
        InitQueue(&ses_->attach_list);
        InitQueue(&ses_->object_list);
        ses_->default_object = AllocFileMemory(MEM_KIND_DEFAULT, OPEN_MODE_READ);
        ASSERT_NE(ses_->default_object, nullptr);
        req_ = std::make_unique<GRFS_MESSAGE>();
    }

    void TearDown() override {
        ReleaseAllObjects(ses_.get());
        FreeDefaultObject(ses_.get());
        if (drvdle_ && drvdle_->root_fd >= 0) close(drvdle_->root_fd);
        if (drvdle_) ReleaseCreatedObjects(drvdle_.get());
                ws_cntl.follow_symdirs = saved_ws_follow_;
        gb_grfs_config.object_buffer_size = saved_buffer_size_;
        std::error_code ec;
        fs::remove_all(base_, ec);
    }

    fs::path Export(const std::string& rel = "") const { return rel.empty() ? base_ / "export" : base_ / "export" / rel; }

    // GRFS_OPEN_OBJ of a file named name (relative to the current directory)
    // with or without the agent's Unix information (taken from lstat).
    int16_t OpenFile(const std::string& name, uint16_t mode = OPEN_MODE_READ, bool with_info = true,
                     uint32_t* obj_id = nullptr) {
        struct stat st {};
        bool have = with_info && lstat(Export(std::string(current_path_).empty()
                                                  ? name
                                                  : std::string(current_path_) + "/" + name)
                                           .c_str(),
                                       &st) == 0;
        BuildFileDblk(&req_->body.open_obj.dblk, name, have ? &st : nullptr);
        return SendOpen(mode, obj_id);
    }

    int16_t OpenDir(const std::string& path, uint16_t mode = OPEN_MODE_READ, uint32_t* obj_id = nullptr) {
        BuildDirDblk(&req_->body.open_obj.dblk, path);
        return SendOpen(mode, obj_id);
    }

    // Sends the DBLK already in req_ as an open request.
    int16_t SendOpen(uint16_t mode, uint32_t* obj_id = nullptr) {
        req_->hdr.msg_type = GRFS_OPEN_OBJ;
        req_->hdr.request_id = ++request_id_;
        req_->body.open_obj.dle_id = dle_id_;
        req_->body.open_obj.mode = mode;
        open_(ses_.get(), req_.get(), 0);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_OPEN_OBJ_STAT);
        EXPECT_EQ(reply_->hdr.request_id, request_id_);
        if (obj_id != nullptr) *obj_id = reply_->body.open_obj_stat.obj_id;
        return reply_->hdr.retcode;
    }

    int16_t Close(uint32_t obj_id) {
        req_->hdr.msg_type = GRFS_CLOSE_OBJ;
        req_->hdr.request_id = ++request_id_;
        req_->body.close_obj.obj_id = obj_id;
        CloseObject(ses_.get(), req_.get());
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_CLOSE_OBJ_STAT);
        EXPECT_EQ(sent_.last_body_size, 0);
        return reply_->hdr.retcode;
    }

    READ_REPLY ReadLarge(uint32_t obj_id, uint32_t size, uint64_t offset) {
        req_->hdr.msg_type = GRFS_READ_OBJ_LARGE;
        req_->hdr.request_id = ++request_id_;
        req_->body.read_obj_large.obj_id = obj_id;
        req_->body.read_obj_large.size = size;
        req_->body.read_obj_large.offset = ToU64(offset);
        ReadObjectLarge(ses_.get(), req_.get(), 16);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_READ_OBJ_LARGE_STAT);
        EXPECT_EQ(reply_->hdr.request_id, request_id_);
        const auto& b = reply_->body.read_obj_large_stat;
        READ_REPLY r{reply_->hdr.retcode, b.size, b.blk_size, b.stream_info.id, AsU64(b.stream_info.size),
                     sent_.last_body_size, {}};
        if (r.body_size > 0) r.data.assign(b.data, b.data + b.size);
        return r;
    }

    READ_REPLY Read(uint32_t obj_id, uint16_t size, uint32_t offset) {
        req_->hdr.msg_type = GRFS_READ_OBJ;
        req_->hdr.request_id = ++request_id_;
        req_->body.read_obj.obj_id = obj_id;
        req_->body.read_obj.size = size;
        req_->body.read_obj.offset = offset;
        ReadObject(ses_.get(), req_.get(), 12);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_READ_OBJ_STAT);
        const auto& b = reply_->body.read_obj_stat;
        EXPECT_EQ(b.stream_info.size.msw, 0u);  // the plain reply carries the low half only
        READ_REPLY r{reply_->hdr.retcode, b.size, b.blk_size, b.stream_info.id, AsU64(b.stream_info.size),
                     sent_.last_body_size, {}};
        if (r.body_size > 0) r.data.assign(b.data, b.data + b.size);
        return r;
    }

    // Seeks; returns the retcode and the distance the reply carries.
    int16_t SeekLarge(uint32_t obj_id, uint64_t count, uint64_t* distance) {
        req_->hdr.msg_type = GRFS_SEEK_OBJ_LARGE;
        req_->hdr.request_id = ++request_id_;
        req_->body.seek_obj_large.obj_id = obj_id;
        req_->body.seek_obj_large.offset = ToU64(count);
        SeekObjectLarge(ses_.get(), req_.get(), 12);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_SEEK_OBJ_LARGE_STAT);
        *distance = AsU64(reply_->body.seek_obj_large_stat.seek_offset);
        return reply_->hdr.retcode;
    }

    int16_t Seek(uint32_t obj_id, uint32_t count, uint32_t* distance) {
        req_->hdr.msg_type = GRFS_SEEK_OBJ;
        req_->hdr.request_id = ++request_id_;
        req_->body.seek_obj.obj_id = obj_id;
        req_->body.seek_obj.offset = count;
        SeekObject(ses_.get(), req_.get(), 8);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_SEEK_OBJ_STAT);
        *distance = reply_->body.seek_obj_stat.seek_offset;
        return reply_->hdr.retcode;
    }

    // Reads an open object from offset 0 to its end with requests of size
    // bytes, each at the offset where the previous reply ended. Checks the
    // framing on the way; returns the bytes.
    std::vector<unsigned char> ReadAll(uint32_t obj_id, uint32_t size, uint32_t first_stream, uint64_t total,
                                       bool large = true) {
        std::vector<unsigned char> got;
        uint64_t offset = 0;
        for (int guard = 0; guard < 100000; ++guard) {
            READ_REPLY r = large ? ReadLarge(obj_id, size, offset) : Read(obj_id, static_cast<uint16_t>(size),
                                                                         static_cast<uint32_t>(offset));
            EXPECT_EQ(r.body_size, (large ? 24 : 20) + static_cast<int>(r.size));
            if (offset == 0 && total > 0) {
                EXPECT_EQ(r.stream_id, first_stream);
                EXPECT_EQ(r.stream_size, total);
            } else {
                EXPECT_EQ(r.stream_id, 0u);
                EXPECT_EQ(r.stream_size, 0u);
            }
            got.insert(got.end(), r.data.begin(), r.data.end());
            offset += r.size;
            if (r.retcode == GRFS_RC_END_OF_DATA) {
                // The last bytes travel with the end-of-object code.
                EXPECT_EQ(offset, total);
                if (total > 0) {
                    EXPECT_GT(r.size, 0u);
                }
                break;
            }
            EXPECT_EQ(r.retcode, 0);
            EXPECT_GT(r.size, 0u);
            if (r.retcode != 0 || r.size == 0) break;
        }
        return got;
    }

    fs::path base_;
    std::unique_ptr<DLE_RECORD> dle_;
    char current_path_[kCurrentPathSize];
    std::unique_ptr<WSDLE> wsdle_;  // the attachment's parent, naming the session
    std::unique_ptr<DRVDLE> drvdle_;
    uint32_t dle_id_ = 0;
    std::unique_ptr<GRFS_MESSAGE> reply_;
    std::unique_ptr<GRFS_MESSAGE> req_;
    HANDLE_TABLE handles_{};
    std::unique_ptr<GRFS_SESSION> ses_;
    ReplyCapture sent_;
    uint32_t request_id_ = 100;
    int (*open_)(GRFS_SESSION*, GRFS_MESSAGE*, int) = OpenObject;  // or DispatchRecord
    uint16_t saved_ws_follow_ = 0;
    uint32_t saved_buffer_size_ = 0;
};

}  // namespace io_test
