// A session with a workstation and DLE attached over a real temporary tree,
// for the attach and enumeration handlers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "grfs/messages.h"
#include "reply_capture.h"
#include "mount/mount_list.h"
#include "unixfs/requests/attach.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/requests/change_dir.h"
#include "unixfs/session/credentials.h"
#include "unixfs/requests/detach.h"
#include "unixfs/requests/dle_listing.h"
#include "unixfs/requests/find.h"
#include "unixfs/requests/get_info.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/handle_table.h"
#include "unixfs/tree/search.h"
#include "unixfs/session/workstation.h"

namespace find_test {

namespace fs = std::filesystem;

inline std::unique_ptr<GRFS_MESSAGE> NewMessage(uint8_t type, uint32_t request_id = 77) {
    auto msg = std::make_unique<GRFS_MESSAGE>();
    std::memset(msg.get(), 0, sizeof(GRFS_MESSAGE));
    msg->hdr.msg_type = type;
    msg->hdr.request_id = request_id;
    return msg;
}

class FindFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/findtestXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        export_ = base_ / "export";
        fs::create_directories(export_);
        // An empty mount table: every path local unless a test says otherwise.
        mount_table_ = base_ / "mounts";
        std::ofstream(mount_table_.c_str()) << "";
        free_mount_lists();
        set_mount_table_path(mount_table_.c_str());

        std::memset(&ws_cntl, 0, sizeof ws_cntl);
        InitQueue(&ws_cntl.dle_list);
        std::strcpy(ws_cntl.workstation_name, "HOST");
        gb_grfs_config.object_buffer_size = 31744;

        std::memset(&ses_, 0, sizeof ses_);
        reply_ = NewMessage(0);
        ses_.reply = reply_.get();
        ses_.ws = &ws_cntl;
        ses_.handles = &handles_;
        InitQueue(&ses_.attach_list);
        InitQueue(&ses_.object_list);
        // Waits after refused attaches are recorded, not slept.
        sent_.Install(&ses_);
        ses_.attach_pause = [](GRFS_SESSION* ses, int64_t ns) {
            static_cast<SentAndPaused*>(ses->sink_context)->attach_pauses.push_back(ns);
        };
    }

    void TearDown() override {
        ReleaseAllAttachments(&ses_);
        ReleaseAllSearches();
        ResetHandleTable(ses_.handles);
        for (auto& dle : dles_) RemoveQueueElem(&ws_cntl.dle_list, &dle->link);
        dles_.clear();
        for (auto* entry : excludes_) {
            free(entry->name);
            delete entry;
        }
        excludes_.clear();
        std::memset(&ws_cntl, 0, sizeof ws_cntl);
        free_mount_lists();
        fs::remove_all(base_);
    }

    DLE_RECORD* AddDle(const char* name, const fs::path& path, const char* password = nullptr) {
        auto dle = std::make_unique<DLE_RECORD>();
        std::memset(dle.get(), 0, sizeof(DLE_RECORD));
        dle->in_use = 1;
        dle->writable = 1;
        std::strcpy(dle->resource_name, name);
        std::strcpy(dle->export_path, path.c_str());
        if (password != nullptr) {
            dle->password_required = 1;
            std::strcpy(dle->dle_password, password);
        }
        EnQueueElem(&ws_cntl.dle_list, &dle->link, 0);
        dles_.push_back(std::move(dle));
        return dles_.back().get();
    }

    void AddExclude(const fs::path& path, uint8_t kind = EXCLUDE_DIR) {
        auto* entry = new EXCLUDE_ENTRY{kind, strdup(path.c_str()), ws_cntl.exclude_list};
        ws_cntl.exclude_list = entry;
        excludes_.push_back(entry);
    }

    // GRFS_ATTACH_DLE as a sender makes it (credentials scrambled).
    int Attach(const char* name, const char* password, uint32_t parent, uint16_t bsize = 31744) {
        auto req = NewMessage(GRFS_ATTACH_DLE);
        GRFS_ATTACH_DLE_BODY& body = req->body.attach_dle;
        std::strcpy(body.dle_name, name);
        std::strcpy(body.password, password);
        GRFSEncrypt(body.dle_name, body.password, GRFS_DLE_NAME_SIZE);
        body.parent = parent;
        body.bsize = bsize;
        body.reason = 3;
        return AttachDLE(&ses_, req.get(), 316);
    }

    // Attaches to the workstation and to one DLE over export_; returns the DLE's dle_id.
    uint32_t AttachExport(const char* name = "EXPORT") {
        if (FindDrive(&ws_cntl, name) == nullptr) AddDle(name, export_);
        EXPECT_EQ(Attach("HOST", "", 0), 0);
        ws_id_ = reply_->body.attach_dle_stat.dle_id;
        EXPECT_EQ(Attach(name, "", ws_id_), 0);
        return reply_->body.attach_dle_stat.dle_id;
    }

    int16_t ChangeDirTo(uint32_t dle_id, const std::string& net_path, int16_t size) {
        auto req = NewMessage(GRFS_CHANGE_DIR);
        req->body.change_dir.dle_id = dle_id;
        req->body.change_dir.size = size;
        std::memcpy(req->body.change_dir.net_path, net_path.data(), net_path.size());
        ChangeDir(&ses_, req.get(), size + 9);
        EXPECT_EQ(sent_.last_body_size, 0);
        return reply_->hdr.retcode;
    }
    // A relative path as a server sends it: components separated by zero bytes.
    int16_t ChangeDirTo(uint32_t dle_id, const std::string& path) {
        std::string net = path;
        for (char& c : net) if (c == '/') c = '\0';
        net.push_back('\0');
        return ChangeDirTo(dle_id, net, static_cast<int16_t>(net.size()));
    }

    int16_t FindFirst(uint32_t dle_id, const char* search_name = "*", uint16_t find_type = 0) {
        auto req = NewMessage(GRFS_FIND_FIRST_OBJ);
        req->body.find_first_obj.dle_id = dle_id;
        req->body.find_first_obj.find_type = find_type;
        std::strcpy(req->body.find_first_obj.search_name, search_name);
        FindObject(&ses_, req.get(), 0, GRFS_FIND_FIRST_OBJ);
        return reply_->hdr.retcode;
    }

    // GRFS_FIND_NEXT_OBJ echoing a DBLK the agent returned.
    int16_t FindNext(uint32_t dle_id, const GRFS_GEN_DBLK& last) {
        auto req = NewMessage(GRFS_FIND_NEXT_OBJ);
        req->body.dblk_req.dle_id = dle_id;
        std::memcpy(&req->body.dblk_req.dblk, &last, last.dblk_actual_size);
        FindObject(&ses_, req.get(), 0, GRFS_FIND_NEXT_OBJ);
        return reply_->hdr.retcode;
    }

    const GRFS_GEN_DBLK& ReplyDblk() const { return reply_->body.find_obj_stat.dblk; }

    // Copy of the DBLK in the last GRFS_FIND_OBJ_STAT.
    std::unique_ptr<GRFS_GEN_DBLK> SaveDblk() const {
        auto copy = std::make_unique<GRFS_GEN_DBLK>();
        std::memcpy(copy.get(), &ReplyDblk(), sizeof(GRFS_GEN_DBLK));
        return copy;
    }

    // The text a listed DBLK names its object by (file name or directory path).
    static std::string DblkText(const GRFS_GEN_DBLK& dblk) {
        uint16_t offset = dblk.dblk_type == DDB_ID ? dblk.type_part.ddb.path : dblk.type_part.fdb.name;
        return reinterpret_cast<const char*>(dblk_bytes(&dblk)) + offset;
    }

    // Lists the current directory completely; names in listing order.
    std::vector<std::string> ListAll(uint32_t dle_id, const char* search_name = "*", uint16_t find_type = 0) {
        std::vector<std::string> names;
        if (FindFirst(dle_id, search_name, find_type) != 0) return names;
        for (;;) {
            EXPECT_EQ(reply_->body.find_obj_stat.more, 1);
            names.push_back(DblkText(ReplyDblk()));
            auto last = SaveDblk();
            if (FindNext(dle_id, *last) != 0) break;
        }
        EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_NOT_FOUND);
        EXPECT_EQ(reply_->body.find_obj_stat.more, 0);
        EXPECT_EQ(sent_.last_body_size, 2);
        return names;
    }

    fs::path base_;
    fs::path export_;
    fs::path mount_table_;
    HANDLE_TABLE handles_{};
    GRFS_SESSION ses_{};
    std::unique_ptr<GRFS_MESSAGE> reply_;
    std::vector<std::unique_ptr<DLE_RECORD>> dles_;
    std::vector<EXCLUDE_ENTRY*> excludes_;
    uint32_t ws_id_ = 0;
    // The replies sent, and the waits after refused attaches.
    struct SentAndPaused : ReplyCapture {
        std::vector<int64_t> attach_pauses;
    };
    SentAndPaused sent_;
    std::vector<int64_t>& attach_pauses_ = sent_.attach_pauses;
};

}  // namespace find_test
