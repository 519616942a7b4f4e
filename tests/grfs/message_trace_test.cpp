// Message dumps: the exact lines for a representative of every layout
// family, the DBLK dump, dates and the hex dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "dblk_test_images.h"
#include "grfs/message_trace.h"
#include "grfs/messages.h"
#include "message_test_support.h"

namespace {

using namespace msg_test;

// Collects what is written to the message log while it lives.
class LogCapture {
  public:
    LogCapture() : file_(std::tmpfile()), saved_(dbg_file) { set_message_log_file(file_); }
    ~LogCapture() {
        set_message_log_file(saved_);
        std::fclose(file_);
    }
    std::string text() {
        std::fflush(file_);
        std::string s;
        std::rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) s.append(buf, n);
        return s;
    }

  private:
    FILE* file_;
    FILE* saved_;
};

class UtcZone {
  public:
    UtcZone() {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~UtcZone() {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    std::optional<std::string> saved_;
};

std::string dump(const GRFS_MESSAGE& m, int size) {
    LogCapture log;
    print_message(&m, size);
    return log.text();
}

std::string header(const char* name, int retcode, int id, int size) {
    char line[160];
    std::snprintf(line, sizeof line, "MESSAGE: %s retcode %d request_id %d - size %d\n", name, retcode, id, size);
    return line;
}

const std::string kDates =
    "\t\tcreation time Fri Mar 15 10:20:30 2024\n"
    "\t\taccess time Wed Dec 31 23:59:58 2025\n"
    "\t\tarchived time Invalid Date\n"
    "\t\tmodified time Sat Jan  2 03:04:05 1999\n";

const std::string kFileBlockLines =
    "\tdblk type: FDB_ID 9 \n"
    "\tos_id 20 os_ver 0\n"
    "\tstd_info: size <2,4096> gen_attr 0x21\n" +
    kDates +
    "\tos_info_complete 1 min_ddb_info 176 min_ddb_size 13\n"
    "\tos_spec_info 189 os_spec_size 56 dblk_actual_size 245 tape_attribs 0\n"
    "\tfind_info 176 find_info_size 4 obj_type 0\n"
    "\ttranslate 0 special_flag 0\n"
    "\tFile: in_use 0 os_name 'file.txt' (180) name 'file.txt' (180)\n"
    "os specific info:\n"
    "   st_dev=0x803   st_rdev=0x0   st_mode=0x81a4\n"
    "   st_uid=0x3e8   st_gid=0x64    st_size=<9,305419896>\n"
    "   st_ino=<1,180150000>   st_nlink=2\n";

TEST(MessageTrace, AttachShowsTheUnscrambledNameAndNoPassword) {
    auto m = new_message();
    m->hdr = {GRFS_ATTACH_DLE, 0, 0, 7};
    auto& b = m->body.attach_dle;
    std::strcpy(b.dle_name, "HOME");
    std::strcpy(b.password, "SECRET");
    scramble_credentials(b.dle_name, b.password, 128);
    b.parent = 1;
    b.vsc_flags = 0x12;
    b.reason = 3;
    b.bsize = 512;
    b.cmpr_type = 0;
    std::strcpy(b.user, "backup");
    auto before = copy_message(*m);
    EXPECT_EQ(dump(*m, 316), header("GRFS_ATTACH_DLE", 0, 7, 316) +
                                 "\tdle_name HOME\n"
                                 "\tvsc_flags 0x0012 reason 0x0003 bsize 512  parent 0x00000001\n"
                                 "\tcmpr_type 0x00\n\tuser backup" +
                                 std::string(42, ' ') + " password <password>\n");
    // The request itself stays scrambled.
    EXPECT_EQ(std::memcmp(m.get(), before.get(), sizeof *m), 0);
}

TEST(MessageTrace, HandleAndSearchRequests) {
    auto m = new_message();
    m->hdr = {GRFS_GET_CUR_DDB, 0, 0, 1};
    m->body.dle_req.dle_id = 0xABCD;
    EXPECT_EQ(dump(*m, 4), header("GRFS_GET_CUR_DDB", 0, 1, 4) + "\tdle_id 0x0000abcd\n");

    m->hdr = {GRFS_FIND_FIRST_OBJ, 0, 0, 2};
    m->body.find_first_obj.dle_id = 2;
    m->body.find_first_obj.find_type = 1;
    std::strcpy(m->body.find_first_obj.search_name, "*");
    EXPECT_EQ(dump(*m, 10), header("GRFS_FIND_FIRST_OBJ", 0, 2, 10) + "\tdle_id 0x00000002 find_type DIR search name *\n");
    m->body.find_first_obj.find_type = 0;
    EXPECT_EQ(dump(*m, 10), header("GRFS_FIND_FIRST_OBJ", 0, 2, 10) + "\tdle_id 0x00000002 find_type ALL search name *\n");
}

TEST(MessageTrace, DblkRequestWithAFileBlock) {
    UtcZone utc;
    auto m = new_message();
    m->hdr = {GRFS_FIND_NEXT_OBJ, 0, 0, 2};
    m->body.dblk_req.dle_id = 0x1234;
    dblk_test::make_file_dblk(m->body.dblk_req.dblk, "file.txt");
    EXPECT_EQ(dump(*m, 249), header("GRFS_FIND_NEXT_OBJ", 0, 2, 249) + "\tdle_id 0x00001234\n" + kFileBlockLines);
}

TEST(MessageTrace, OpenRequestAndOpenReply) {
    UtcZone utc;
    auto m = new_message();
    m->hdr = {GRFS_OPEN_OBJ, 0, 0, 4};
    m->body.open_obj.dle_id = 9;
    m->body.open_obj.mode = 1;
    dblk_test::make_file_dblk(m->body.open_obj.dblk, "file.txt");
    EXPECT_EQ(dump(*m, 253), header("GRFS_OPEN_OBJ", 0, 4, 253) + "\tdle_id 0x00000009 mode WRITE\n" + kFileBlockLines);
    const char* modes[] = {"READ", "WRITE", "VERIFY", "BAD OPEN MODE", "BAD OPEN MODE"};
    const uint16_t values[] = {0, 1, 2, 3, 0xFFFF};
    for (int i = 0; i < 5; ++i) {
        m->body.open_obj.mode = values[i];
        std::string text = dump(*m, 253);
        EXPECT_NE(text.find(std::string("mode ") + modes[i] + "\n\tdblk type"), std::string::npos) << text;
    }

    m->hdr = {GRFS_OPEN_OBJ_STAT, 0, GRFS_RC_OPEN_WARNING, 4};
    m->body.open_obj_stat.obj_id = 0x49;
    dblk_test::make_file_dblk(m->body.open_obj_stat.dblk, "file.txt");
    EXPECT_EQ(dump(*m, 249), header("GRFS_OPEN_OBJ_STAT", -496, 4, 249) + "\tobj_id 0x00000049\n" + kFileBlockLines);
}

TEST(MessageTrace, DirectoryBlockReply) {
    UtcZone utc;
    auto m = new_message();
    m->hdr = {GRFS_GET_CUR_DDB_STAT, 0, 0, 3};
    dblk_test::make_dir_dblk(m->body.dblk_stat.dblk, "home/user");
    EXPECT_EQ(dump(*m, 256), header("GRFS_GET_CUR_DDB_STAT", 0, 3, 256) +
                                 "\tdblk type: DDB_ID 8 \n"
                                 "\tos_id 20 os_ver 0\n"
                                 "\tstd_info: size <2,4096> gen_attr 0x30\n" +
                                 kDates +
                                 "\tos_info_complete 1 min_ddb_info 176 min_ddb_size 14\n"
                                 "\tos_spec_info 190 os_spec_size 66 dblk_actual_size 256 tape_attribs 0\n"
                                 "\tfind_info 176 find_info_size 4 obj_type 0\n"
                                 "\ttranslate 0 special_flag 0\n"
                                 "\tDirectory: os_path_leng 10 path_leng 10\n"
                                 "\t\tos_path 'home/user' (180)\n"
                                 "\t\tpath 'home/user' (180)\n"
                                 "os specific info:\n"
                                 "   st_dev=0x803   st_rdev=0x7   st_mode=0x41ed\n"
                                 "   st_uid=0x0   st_gid=0x10002    path=56\n"
                                 "   access_date: Wed Dec 31 23:59:58 2025\n\n"
                                 "   st_ino=<0,128>   st_nlink=259\n");
}

TEST(MessageTrace, OlderAndForeignOsInformation) {
    UtcZone utc;
    GRFS_GEN_DBLK d;
    dblk_test::make_file_dblk(d, "file.txt");
    d.os_spec_size = 28;  // 64-bit size form: no inode line
    {
        LogCapture log;
        print_dblk(&d);
        std::string text = log.text();
        EXPECT_NE(text.find("os specific info:\n"
                            "   st_dev=0x803   st_rdev=0x0   st_mode=0x81a4\n"
                            "   st_uid=0x3e8   st_gid=0x64    st_size=<9,305419896>\n"),
                  std::string::npos)
            << text;
        EXPECT_EQ(text.find("st_ino"), std::string::npos);
    }
    d.os_id = 3;
    d.os_spec_size = 4;
    std::memcpy(dblk_bytes(&d) + d.os_spec_info, "\xDE\xAD\xBE\xEF", 4);
    {
        LogCapture log;
        print_dblk(&d);
        char dumphdr[80];
        std::snprintf(dumphdr, sizeof dumphdr, "Dumping Memory from %p size=4\n",
                      static_cast<const void*>(dblk_bytes(&d) + d.os_spec_info));
        std::string text = log.text();
        EXPECT_NE(text.find(std::string("\tos_id 3 os_ver 0\n")), std::string::npos);
        EXPECT_NE(text.find(std::string("os specific info:\n        foreign os format\n") + dumphdr + "DE AD BE EF \n"),
                  std::string::npos)
            << text;
    }
    // No OS information: no such section; other block types have no type line.
    d.os_spec_info = 0;
    d.dblk_type = 1;
    {
        LogCapture log;
        print_dblk(&d);
        std::string text = log.text();
        EXPECT_EQ(text.find("os specific info"), std::string::npos);
        EXPECT_EQ(text.find("File:"), std::string::npos);
        EXPECT_EQ(text.rfind("\tdblk type: VCB_ID 1 \n", 0), 0u);
    }
    d.dblk_type = 5;
    LogCapture log;
    print_dblk(&d);
    EXPECT_EQ(log.text().rfind("\tdblk type: INVALID_DBLK_TYPE 5 \n", 0), 0u);
}

TEST(MessageTrace, NamesOutsideTheBlockPrintEmpty) {
    UtcZone utc;
    GRFS_GEN_DBLK d;
    dblk_test::make_file_dblk(d, "file.txt");
    d.type_part.fdb.name = 4000;  // past dblk_actual_size
    d.type_part.fdb.os_name = 10;  // inside the fixed part
    LogCapture log;
    print_dblk(&d);
    EXPECT_NE(log.text().find("\tFile: in_use 0 os_name '' (10) name '' (4000)\n"), std::string::npos);
}

TEST(MessageTrace, GarbageRecordsAreDumpedWithoutStrayAccess) {
    auto m = new_message();
    for (int type : {6, 9, 69, 73, 80, 1, 5, 18, 65, 66, 93}) {
        std::memset(m.get(), 0xFF, sizeof *m);
        m->hdr = {static_cast<uint8_t>(type), 0, 0, 1};
        std::string text = dump(*m, 0);
        EXPECT_EQ(text.rfind(header(type_to_str(type), 0, 1, 0), 0), 0u);
    }
}

TEST(MessageTrace, DataRequests) {
    auto m = new_message();
    m->hdr = {GRFS_READ_OBJ, 0, 0, 5};
    m->body.read_obj = {0xB, 512, 4096};
    EXPECT_EQ(dump(*m, 12), header("GRFS_READ_OBJ", 0, 5, 12) + "\tobj_id 0x0000000b size 512 offset 4096\n");

    const std::string stream_line = "\tstream_info: id 0x41544144 attrib 0x00000002 size_lsw 256 size_msw 1\n";
    for (int type : {GRFS_WRITE_OBJ, GRFS_VERIFY_OBJ}) {
        m->hdr = {static_cast<uint8_t>(type), 0, 0, 5};
        m->body.write_obj.obj_id = 0xC;
        m->body.write_obj.offset = 100;
        m->body.write_obj.stream_info = {0x41544144, 2, 0, {0x100, 1}};
        m->body.write_obj.size = 3;
        EXPECT_EQ(dump(*m, 31), header(type_to_str(type), 0, 5, 31) + "\tobj_id 0x0000000c size 3 offset 100\n" + stream_line);
    }
    m->hdr = {GRFS_SEEK_OBJ, 0, 0, 5};
    m->body.seek_obj = {0xD, 12345};
    EXPECT_EQ(dump(*m, 8), header("GRFS_SEEK_OBJ", 0, 5, 8) + "\tobj_id 0x0000000d offset 12345\n");
    m->hdr = {GRFS_CLOSE_OBJ, 0, 0, 5};
    m->body.close_obj = {0xE};
    EXPECT_EQ(dump(*m, 4), header("GRFS_CLOSE_OBJ", 0, 5, 4) + "\tobj_id 0x0000000e\n");

    m->hdr = {GRFS_CHANGE_DIR, 0, 0, 5};
    m->body.change_dir.dle_id = 0x12;
    m->body.change_dir.size = 11;
    std::memcpy(m->body.change_dir.net_path, "usr\0local\0", 11);
    EXPECT_EQ(dump(*m, 20), header("GRFS_CHANGE_DIR", 0, 5, 20) + "\tdle_id 0x00000012 size 11 net_path usr\n");

    m->hdr = {GRFS_READ_OBJ_LARGE, 0, 0, 5};
    m->body.read_obj_large = {0x19, 31744, {5, 1}};
    EXPECT_EQ(dump(*m, 16), header("GRFS_READ_OBJ_LARGE", 0, 5, 16) + "\tobj_id 0x00000019 size 31744 offset <1,5>\n");
    for (int type : {GRFS_WRITE_OBJ_LARGE, GRFS_VERIFY_OBJ_LARGE}) {
        m->hdr = {static_cast<uint8_t>(type), 0, 0, 5};
        m->body.write_obj_large.obj_id = 0x1A;
        m->body.write_obj_large.offset = {5, 1};
        m->body.write_obj_large.stream_info = {0x41544144, 2, 0, {0x100, 1}};
        m->body.write_obj_large.size = 70000;
        EXPECT_EQ(dump(*m, 32), header(type_to_str(type), 0, 5, 32) + "\tobj_id 0x0000001a size 70000 offset <1,5>\n" + stream_line);
    }
    m->hdr = {GRFS_SEEK_OBJ_LARGE, 0, 0, 5};
    m->body.seek_obj_large = {0x1B, {5, 1}};
    EXPECT_EQ(dump(*m, 12), header("GRFS_SEEK_OBJ_LARGE", 0, 5, 12) + "\tobj_id 0x0000001b offset <1,5>\n");
    m->hdr = {GRFS_GET_INFO, 0, 0, 5};
    m->body.get_info = {9, 10, {11, 12}};
    EXPECT_EQ(dump(*m, 16), header("GRFS_GET_INFO", 0, 5, 16) + "\treserved1 9 reserved2 10 reserved3 <12,11>\n");
}

TEST(MessageTrace, AttachAndFindDleReplies) {
    auto m = new_message();
    m->hdr = {GRFS_ATTACH_DLE_STAT, 0, 0, 6};
    m->body.attach_dle_stat = {0x41, 1, 1, 0xC, 512, 1, 1, 0, {}};
    EXPECT_EQ(dump(*m, 22), header("GRFS_ATTACH_DLE_STAT", 0, 6, 22) +
                                "\tdle_id 0x00000041 max_connects 1    opens_per_connect 1   \n"
                                "\tdle_capability 0xc max_obj_bsize 512  cmpr_type 0x0\n"
                                "\tsupports_children YES path_len 1\n"
                                "\tpath \n");
    m->body.attach_dle_stat.supports_children = 0;
    EXPECT_NE(dump(*m, 22).find("\tsupports_children NO  path_len 1\n"), std::string::npos);
    m->hdr.retcode = GRFS_RC_ACCESS_DENIED;
    EXPECT_EQ(dump(*m, 0), header("GRFS_ATTACH_DLE_STAT", -507, 6, 0));

    m->hdr = {GRFS_FIND_DLE_STAT, 0, 0, 6};
    auto& f = m->body.find_dle_stat;
    std::memset(&f, 0, sizeof f);
    std::strcpy(f.dle_name, "HOME");
    f.path_delim = '/';
    f.password_req = 1;
    f.writable = 1;
    f.reserved_flag = 1;
    f.os_id = 20;
    f.fs_type = 258;
    EXPECT_EQ(dump(*m, 146), header("GRFS_FIND_DLE_STAT", 0, 6, 146) +
                                 "\tdle_name HOME\n"
                                 "\tpath_delim '/' password_req YES user_req NO  writable YES\n"
                                 "\tos_id 20 os_ver 0 fs_type 258 crypt_type 0 cmpr_type 0\n"
                                 "\tmore NO \n");
}

TEST(MessageTrace, FindObjReplyShowsTheRecordWhateverTheRetcode) {
    UtcZone utc;
    auto m = new_message();
    m->hdr = {GRFS_FIND_OBJ_STAT, 0, GRFS_RC_NOT_FOUND, 8};
    m->body.find_obj_stat.more = 0;
    dblk_test::make_file_dblk(m->body.find_obj_stat.dblk, "file.txt");
    EXPECT_EQ(dump(*m, 2), header("GRFS_FIND_OBJ_STAT", -505, 8, 2) + "\tmore NO \n" + kFileBlockLines);
    m->body.find_obj_stat.more = 1;
    EXPECT_EQ(dump(*m, 2).find("\tmore YES\n"), header("GRFS_FIND_OBJ_STAT", -505, 8, 2).size());
}

TEST(MessageTrace, DataReplies) {
    auto m = new_message();
    const std::string stream_line = "\tstream_info: id 0x41544144 attrib 0x00000002 size_lsw 256 size_msw 1\n";
    m->hdr = {GRFS_READ_OBJ_STAT, 0, GRFS_RC_END_OF_DATA, 9};
    m->body.read_obj_stat.size = 300;
    m->body.read_obj_stat.blk_size = 1;
    m->body.read_obj_stat.stream_info = {0x41544144, 2, 0, {0x100, 1}};
    EXPECT_EQ(dump(*m, 320), header("GRFS_READ_OBJ_STAT", -500, 9, 320) + "\tsize 300 blk_size 1\n" + stream_line);

    m->hdr = {GRFS_READ_OBJ_LARGE_STAT, 0, 0, 9};
    m->body.read_obj_large_stat.size = 31744;
    m->body.read_obj_large_stat.blk_size = 512;
    m->body.read_obj_large_stat.stream_info = {0x41544144, 2, 0, {0x100, 1}};
    EXPECT_EQ(dump(*m, 31768), header("GRFS_READ_OBJ_LARGE_STAT", 0, 9, 31768) + "\tsize 31744 blk_size 512\n" + stream_line);

    for (int type : {75, 77}) {
        m->hdr = {static_cast<uint8_t>(type), 0, 0, 9};
        m->body.write_obj_stat = {65535, 1};
        EXPECT_EQ(dump(*m, 4), header(type_to_str(type), 0, 9, 4) + "\tsize 65535 blk_size 1\n");
    }
    for (int type : {90, 92}) {
        m->hdr = {static_cast<uint8_t>(type), 0, 0, 9};
        m->body.write_obj_large_stat = {70000, 1};
        EXPECT_EQ(dump(*m, 8), header(type_to_str(type), 0, 9, 8) + "\tsize 70000 blk_size 1\n");
    }
    m->hdr = {GRFS_SEEK_OBJ_STAT, 0, 0, 9};
    m->body.seek_obj_stat.seek_offset = 4096;
    EXPECT_EQ(dump(*m, 4), header("GRFS_SEEK_OBJ_STAT", 0, 9, 4) + "\tseek_offset 4096\n");
    m->hdr = {GRFS_SEEK_OBJ_LARGE_STAT, 0, 0, 9};
    m->body.seek_obj_large_stat.seek_offset = {5, 1};
    EXPECT_EQ(dump(*m, 8), header("GRFS_SEEK_OBJ_LARGE_STAT", 0, 9, 8) + "\tseek_offset <1,5>\n");
}

TEST(MessageTrace, GetInfoReplyShowsBothDates) {
    auto m = new_message();
    m->hdr = {GRFS_GET_INFO_STAT, 0, 0, 10};
    m->body.get_info_stat.ver = 1;
    m->body.get_info_stat.len = 40;
    m->body.get_info_stat.local_time = {1, 2024, 3, 15, 10, 20, 30, 5};
    m->body.get_info_stat.universal_time = {1, 2024, 3, 15, 9, 20, 30, 5};
    EXPECT_EQ(dump(*m, 256), header("GRFS_GET_INFO_STAT", 0, 10, 256) +
                                 "\tver 1 len40\n"
                                 "\tasctime(localtime) Fri Mar 15 10:20:30 2024\n\n"
                                 "\tasctime(gmtime) Fri Mar 15 09:20:30 2024\n\n");
}

TEST(MessageTrace, OtherTypesPrintTheFirstLineOnly) {
    auto m = new_message();
    for (int type : {68, 71, 72, 78, 79, 81, 82, 84, 85, 87, 21, 22, 23}) {
        m->hdr = {static_cast<uint8_t>(type), 0, GRFS_RC_BAD_DLE_HANDLE, 11};
        EXPECT_EQ(dump(*m, 0), header(type_to_str(type), -486, 11, 0));
    }
    m->hdr = {67, 0, 0, 1};
    EXPECT_EQ(dump(*m, 0), "MESSAGE: ** Unknown type 67 ** retcode 0 request_id 1 - size 0\n");
}

TEST(MessageTrace, NothingIsWrittenWithoutALogFile) {
    FILE* saved = dbg_file;
    set_message_log_file(nullptr);
    auto m = new_message();
    m->hdr = {GRFS_READ_OBJ, 0, 0, 1};
    print_message(m.get(), 12);
    GRFS_GEN_DBLK d;
    dblk_test::make_file_dblk(d, "x");
    print_dblk(&d);
    unsigned char bytes[4] = {};
    DumpMemory(bytes, 4);
    set_message_log_file(saved);
}

TEST(MessageTrace, DateText) {
    UtcZone utc;
    DATE_TIME absent{};
    EXPECT_STREQ(date_time_to_str(&absent), "Invalid Date\n");
    DATE_TIME epoch{1, 1970, 1, 1, 0, 0, 0, 4};
    EXPECT_STREQ(date_time_to_str(&epoch), "Thu Jan  1 00:00:00 1970\n");
    DATE_TIME d{1, 2024, 2, 29, 23, 59, 59, 0};  // the weekday is not consulted
    EXPECT_STREQ(date_time_to_str(&d), "Thu Feb 29 23:59:59 2024\n");
}

std::string dump_memory(const unsigned char* p, int n) {
    LogCapture log;
    DumpMemory(p, n);
    return log.text();
}

std::string values(const unsigned char* p, int from, int to) {
    std::string s;
    char t[4];
    for (int i = from; i < to; ++i) {
        std::snprintf(t, sizeof t, "%02X ", p[i]);
        s += t;
    }
    return s;
}

TEST(MessageTrace, DumpMemoryLines) {
    unsigned char bytes[500];
    for (int i = 0; i < 500; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    char head[80];
    auto header_for = [&](int n) {
        std::snprintf(head, sizeof head, "Dumping Memory from %p size=%d\n", static_cast<const void*>(bytes), n);
        return std::string(head);
    };
    EXPECT_EQ(dump_memory(bytes, 45),
              header_for(45) + values(bytes, 0, 20) + "\n" + values(bytes, 20, 40) + "\n" + values(bytes, 40, 45) + "\n");
    EXPECT_EQ(dump_memory(bytes, 40), header_for(40) + values(bytes, 0, 20) + "\n" + values(bytes, 20, 40) + "\n\n");
    std::string ten;
    for (int line = 0; line < 10; ++line) ten += values(bytes, line * 20, line * 20 + 20) + "\n";
    EXPECT_EQ(dump_memory(bytes, 500), header_for(500) + ten + "\t.\n\t.\n\t.\n");
    EXPECT_EQ(dump_memory(bytes, 200), header_for(200) + ten + "\t.\n\t.\n\t.\n");
    EXPECT_EQ(dump_memory(bytes, 0), header_for(0) + "\n");
    EXPECT_EQ(values(bytes, 0, 2), "01 08 ");
}

}  // namespace
