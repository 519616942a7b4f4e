// Reading whole configuration files: what is stored, what is printed, and
// when the file counts as invalid.
#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "agent/allow_list.h"
#include "agent/config_file.h"
#include "agent_test_support.h"

namespace {

using agent_test::count_queue;
using agent_test::StderrCapture;
using agent_test::TempDir;

struct ReadResult {
    int rc;
    std::string err;
};

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent_test::reset_workstation();
        data_ = tmp_.mkdir("data");
        other_ = tmp_.mkdir("other");
    }

    ReadResult read(const std::string& text) {
        path_ = tmp_.write("agent.cfg", text);
        StderrCapture cap;
        int rc = read_config_file(&ws_cntl, path_.c_str());
        return {rc, cap.text()};
    }

    // The smallest valid file, to which a test adds its own lines.
    std::string valid(const std::string& extra = "") const {
        return "export " + data_ + " as data\ntell 127.0.0.1\n" + extra;
    }
    std::string using_line() const { return "agent: Using configuration file: " + path_ + "\n"; }
    static std::string unrecognized(const std::string& line) {
        return "Unrecognized config file line '" + line + "'\n";
    }
    // A message about line n of the file.
    std::string at(int n, const std::string& message) const {
        return path_ + ":" + std::to_string(n) + ": " + message;
    }
    DLE_RECORD* first_dle() { return QueueHead<DLE_RECORD>(ws_cntl.dle_list); }

    // A keyword without a value that sets a switch: cleared by every read,
    // set by its line, traced under category 0x02.
    void ExpectTracedSwitch(uint16_t WS_CNTL::*field, const std::string& keyword, const std::string& trace) {
        ws_cntl.*field = 1;
        read(valid());
        EXPECT_EQ(ws_cntl.*field, 0);

        agent_test::reset_workstation();
        grfs_debug = DBG_CONFIG;
        auto r = read(valid(keyword + "\n"));
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(ws_cntl.*field, 1);
        EXPECT_NE(r.err.find(std::to_string(getpid()) + ":" + trace + "\n"), std::string::npos) << r.err;
    }

    TempDir tmp_;
    std::string data_;
    std::string other_;
    std::string path_;
};

TEST_F(ConfigFileTest, ValidFilePrintsOnlyTheUsingLine) {
    auto r = read(valid());
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, using_line());
    EXPECT_EQ(count_queue(ws_cntl.dle_list), 1);
    EXPECT_EQ(count_queue(ws_cntl.tell_list), 1);
    EXPECT_STREQ(QueueHead<TELL_ENTRY>(ws_cntl.tell_list)->name, "127.0.0.1");
}

TEST_F(ConfigFileTest, MissingFileIsReportedAndNothingElseIsPrinted) {
    path_ = tmp_ / "absent.cfg";
    StderrCapture cap;
    int rc = read_config_file(&ws_cntl, path_.c_str());
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(cap.text(), using_line() + "agent: Unable to open config file '" + path_ +
                              "': No such file or directory\n");
}

TEST_F(ConfigFileTest, NullPathReadsAgentCfgInTheWorkingDirectory) {
    tmp_.write("agent.cfg", valid());
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(tmp_.path().c_str()), 0);
    StderrCapture cap;
    int rc = read_config_file(&ws_cntl, nullptr);
    std::string err = cap.text();
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err, "agent: Using configuration file: agent.cfg\n");
}

TEST_F(ConfigFileTest, EmptyFileSkipsTheServerCheck) {
    auto r = read("");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, using_line() + "agent: No directories exported.\nagent: Invalid configuration file.\n");
}

TEST_F(ConfigFileTest, ServersWithoutExportsAreInvalid) {
    auto r = read("tell a\ntell b\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, using_line() + "agent: No directories exported.\nagent: Invalid configuration file.\n");
    EXPECT_EQ(count_queue(ws_cntl.tell_list), 2);
}

TEST_F(ConfigFileTest, ExportsWithoutServersAreInvalid) {
    auto r = read("export " + data_ + " as data\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, using_line() + "agent: No backup servers configured.\nagent: Invalid configuration file.\n");
}

TEST_F(ConfigFileTest, UnrecognizedAndMacAsUnixLinesAreReportedWholeButBlankLinesAreNot) {
    auto r = read(valid("\n   \nbogus line here\n  \tNAME upper\nmac_as_unix\n# comment\n   # indented comment\n"));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, using_line() + at(5, unrecognized("bogus line here")) + at(6, unrecognized("  \tNAME upper")) +
                         at(7, unrecognized("mac_as_unix")));
    EXPECT_STREQ(ws_cntl.workstation_name, "");
}

TEST_F(ConfigFileTest, KeywordsWithoutTheirValueAreReportedAndChangeNothing) {
    const char* lines[] = {"name",          "password",      "export",        "tell",     "tell_interval",
                           "exclude_file",  "exclude_dir",   "logfile",       "force_address",
                           "nrl_conn_timeout", "name \t ",   "export   "};
    std::string text = valid();
    path_ = tmp_ / "agent.cfg";  // named in the messages expected
    std::string expected;
    int n = 2;
    for (const char* line : lines) {
        text += std::string(line) + "\n";
        expected += at(++n, unrecognized(line));
    }
    auto r = read(text);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, using_line() + expected);
    EXPECT_EQ(ws_cntl.password_required, 0);
    EXPECT_EQ(ws_cntl.exclude_list, nullptr);
    EXPECT_EQ(count_queue(ws_cntl.dle_list), 1);
    EXPECT_EQ(count_queue(ws_cntl.tell_list), 1);
    EXPECT_EQ(gb_nrl_conn_timeout, 60u);
}

TEST_F(ConfigFileTest, ServerLineWithoutValueDoesNotCountAsServer) {
    auto r = read("export " + data_ + " as data\ntell\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, using_line() + at(2, unrecognized("tell")) +
                         "agent: No backup servers configured.\nagent: Invalid configuration file.\n");
}

TEST_F(ConfigFileTest, WorkstationNameIsUpperCasedAndMangled) {
    auto r = read(valid("name my-host.1 ignored words\n"));
    EXPECT_EQ(r.rc, 1);
    EXPECT_STREQ(ws_cntl.workstation_name, "MY_HOST_1");
    agent_test::reset_workstation();
    EXPECT_EQ(read(valid("name first\nnames a\xe9z+\n")).rc, 1);
    EXPECT_STREQ(ws_cntl.workstation_name, "A_Z_");
}

TEST_F(ConfigFileTest, WorkstationNameAtTheLimitIsKeptAndLongerIsRefused) {
    std::string n35(35, 'w');
    auto r = read(valid("name " + n35 + "\n"));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(std::string(ws_cntl.workstation_name), std::string(35, 'W'));

    agent_test::reset_workstation();
    r = read(valid("name keep\nname " + n35 + "x\n"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, using_line() + at(4, "agent: Value of 'name' is longer than 35 characters: '" + n35 + "x'\n") +
                         "agent: Invalid configuration file.\n");
    EXPECT_STREQ(ws_cntl.workstation_name, "KEEP");
}

TEST_F(ConfigFileTest, PasswordIsUpperCasedReplacedWholeAndLimited) {
    auto r = read(valid("password longsecret\npassword s3-Cr\n"));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(ws_cntl.password_required, 1);
    EXPECT_STREQ(ws_cntl.workstation_password, "S3-CR");
    EXPECT_EQ(ws_cntl.workstation_password[6], '\0');  // nothing left of the longer one

    agent_test::reset_workstation();
    std::string p127(127, 'p');
    r = read(valid("password " + p127 + "\n"));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(std::string(ws_cntl.workstation_password), std::string(127, 'P'));

    agent_test::reset_workstation();
    r = read(valid("password " + p127 + "q\n"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, using_line() +
                         at(3, "agent: Value of 'password' is longer than 127 characters\n") +
                         "agent: Invalid configuration file.\n");
    EXPECT_EQ(ws_cntl.password_required, 0);
}

TEST_F(ConfigFileTest, ExportWithoutAsOrNameIsRefusedButReadingContinues) {
    const std::string bad1 = "export " + other_ + " to x";
    const std::string bad2 = "export " + other_ + " as";
    const std::string bad3 = "export " + other_;
    auto r = read(bad1 + "\n" + bad2 + "\n" + bad3 + "\n" + valid());
    EXPECT_EQ(r.rc, 0);
    const std::string msg = "agent: Export line needs a path, the word 'as' and a resource name: '";
    EXPECT_EQ(r.err, using_line() + at(1, msg + bad1 + "'\n") + at(2, msg + bad2 + "'\n") + at(3, msg + bad3 + "'\n") +
                         "agent: Invalid configuration file.\n");
    EXPECT_EQ(count_queue(ws_cntl.dle_list), 1);
}

TEST_F(ConfigFileTest, ExportWordAsMustStandAlone) {
    auto r = read(valid("export " + other_ + " asx name\n"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.err.find("Export line needs"), std::string::npos);
}

TEST_F(ConfigFileTest, ExportDefaultsWithoutOptions) {
    read(valid());
    DLE_RECORD* dle = first_dle();
    ASSERT_NE(dle, nullptr);
    EXPECT_EQ(dle->in_use, 1);
    EXPECT_EQ(dle->password_required, 0);
    EXPECT_EQ(dle->fs_type, 0);
    EXPECT_EQ(dle->writable, 1);
    EXPECT_EQ(dle->local_only, 1);
    EXPECT_EQ(dle->no_nfs_locking, 0);
    EXPECT_EQ(dle->no_backup_locking, 0);
    EXPECT_STREQ(dle->dle_password, "");
    EXPECT_STREQ(dle->resource_name, "data");
    EXPECT_EQ(dle->export_path, data_);
}

TEST_F(ConfigFileTest, ExportOptionsApplyInOrder) {
    read("export " + data_ + " as a include_remote no_nfs_locking no_backup_locking\n" +
         "export " + data_ + " as b password pw write_protect\n" +
         "export " + data_ + " as c password write_protect\n" +
         "export " + data_ + " as d write_protect include_remote no_nfs_locking no_backup_locking password late\n" +
         "tell s\n");
    ASSERT_EQ(count_queue(ws_cntl.dle_list), 4);
    DLE_RECORD* a = FindDrive(&ws_cntl, "a");
    DLE_RECORD* b = FindDrive(&ws_cntl, "b");
    DLE_RECORD* c = FindDrive(&ws_cntl, "c");
    DLE_RECORD* d = FindDrive(&ws_cntl, "d");
    ASSERT_TRUE(a && b && c && d);

    EXPECT_EQ(a->local_only, 0);
    EXPECT_EQ(a->no_nfs_locking, 1);
    EXPECT_EQ(a->no_backup_locking, 1);
    EXPECT_EQ(a->writable, 1);

    // Read-only with the upper-cased password.
    EXPECT_EQ(b->password_required, 1);
    EXPECT_STREQ(b->dle_password, "PW");
    EXPECT_EQ(b->writable, 0);

    // The word after password is the password even when it spells an option.
    EXPECT_EQ(c->password_required, 1);
    EXPECT_STREQ(c->dle_password, "WRITE_PROTECT");
    EXPECT_EQ(c->writable, 1);

    // Every option word is read: a password after four others too.
    EXPECT_EQ(d->writable, 0);
    EXPECT_EQ(d->local_only, 0);
    EXPECT_EQ(d->no_nfs_locking, 1);
    EXPECT_EQ(d->no_backup_locking, 1);
    EXPECT_EQ(d->password_required, 1);
    EXPECT_STREQ(d->dle_password, "LATE");
}

TEST_F(ConfigFileTest, MissingExportDirectoryMakesTheFileInvalid) {
    std::string gone = tmp_ / "gone";
    auto r = read("export " + gone + " as gone\n" + valid());
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, using_line() + at(1, "agent: Unable to access exported directory: '" + gone +
                                             "': No such file or directory\n") +
                         "agent: Invalid configuration file.\n");
    EXPECT_EQ(count_queue(ws_cntl.dle_list), 1);
}

TEST_F(ConfigFileTest, DuplicateAfterMangling) {
    auto r = read("export " + data_ + " as my:home\nexport " + other_ + " as my.home\ntell s\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, using_line() + at(2, "agent: Duplicate resource name: 'my_home'\n") +
                         "agent: Invalid configuration file.\n");
    ASSERT_EQ(count_queue(ws_cntl.dle_list), 1);
    EXPECT_STREQ(first_dle()->resource_name, "my_home");
    EXPECT_EQ(first_dle()->export_path, data_);
}

TEST_F(ConfigFileTest, OnlyAcceptedExportsCount) {
    auto r = read("export " + (tmp_ / "gone") + " as x\ntell s\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.err.find("agent: No directories exported.\n"), std::string::npos);
}

TEST_F(ConfigFileTest, IntegersAreReadAndBadOnesMakeTheFileInvalid) {
    read(valid("nrl_conn_timeout 5\ntell_interval 30"));  // no final line end
    EXPECT_EQ(gb_nrl_conn_timeout, 5u);
    EXPECT_EQ(advertise_interval, 30u);

    agent_test::reset_workstation();
    advertise_interval = 11;
    auto r = read(valid("tell_interval soon\nnrl_conn_timeout x5\n"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, using_line() + at(3, "agent: Value of 'tell_interval' is not a number of seconds: 'soon'\n") +
                         at(4, "agent: Value of 'nrl_conn_timeout' is not a number of seconds: 'x5'\n") +
                         "agent: Invalid configuration file.\n");
    EXPECT_EQ(advertise_interval, 11u);
    EXPECT_EQ(gb_nrl_conn_timeout, 60u);
}

TEST_F(ConfigFileTest, SessionIdleTimeoutIsWholeSecondsAndAnythingElseIsRefused) {
    EXPECT_EQ(gb_session_idle_timeout, 0u);  // no limit unless configured
    auto r = read(valid("session_idle_timeout 600\n"));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, using_line());
    EXPECT_EQ(gb_session_idle_timeout, 600u);

    for (const char* bad : {"10m", "-5", "1.5", "+3", "1234567890"}) {
        agent_test::reset_workstation();
        r = read(valid(std::string("session_idle_timeout ") + bad + "\n"));
        EXPECT_EQ(r.rc, 0) << bad;
        EXPECT_EQ(r.err, using_line() +
                             at(3, "agent: Value of 'session_idle_timeout' is not a number of seconds: '" +
                                       std::string(bad) + "'\n") +
                             "agent: Invalid configuration file.\n");
        EXPECT_EQ(gb_session_idle_timeout, 0u);
    }
}

TEST_F(ConfigFileTest, ForceAddressMessages) {
    auto r = read(valid("force_address 127.0.0.2\n"));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, using_line() + at(3, "agent: Forcing IP address: 127.0.0.2\n"));
    EXPECT_EQ(ws_cntl.force_address, inet_addr("127.0.0.2"));

    for (const char* bad : {"bogus", "255.255.255.255", "1.2.3.4.5"}) {
        agent_test::reset_workstation();
        r = read(valid(std::string("force_address ") + bad + "\n"));
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.err, using_line() + at(3, "force_address: Unable to parse IP address=" + std::string(bad) + "\n") +
                             "agent: Invalid configuration file.\n");
        EXPECT_EQ(ws_cntl.force_address, 0u);
    }

    agent_test::reset_workstation();
    r = read(valid("force_address 0.0.0.0\n"));
    EXPECT_EQ(r.err, using_line() + at(3, "agent: Using default local IP address.\n"));
    EXPECT_EQ(ws_cntl.force_address, 0u);
}

TEST_F(ConfigFileTest, AllowLinesAddPeersAndAValueThatDoesNotParseMakesTheFileInvalid) {
    auto r = read(valid());
    EXPECT_TRUE(PeerAllowed(&ws_cntl, inet_addr("203.0.113.9")));  // no allow line: anyone

    agent_test::reset_workstation();
    r = read(valid("allow 10.0.0.0/8\nallow 192.0.2.7\nallow 172.16.5.9/16\n"));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, using_line());
    for (const char* in : {"10.200.3.4", "192.0.2.7", "172.16.0.1"})
        EXPECT_TRUE(PeerAllowed(&ws_cntl, inet_addr(in))) << in;
    for (const char* out : {"11.0.0.1", "192.0.2.8", "172.17.0.1"})
        EXPECT_FALSE(PeerAllowed(&ws_cntl, inet_addr(out))) << out;

    for (const char* bad : {"allow 10.0.0.256", "allow 10.0.0.0/33", "allow garbage", "allow 10.1", "allow 10.0.0.0/",
                            "allow 10.0.0.0/+8", "allow 0x0a.0.0.1", "allow"}) {
        agent_test::reset_workstation();
        r = read(valid("allow 192.0.2.7\n" + std::string(bad) + "\n"));
        EXPECT_EQ(r.rc, 0) << bad;
        EXPECT_EQ(r.err, using_line() +
                             at(4, "agent: Allow line needs an IPv4 address or address/prefix (0-32): '" +
                                       std::string(bad) + "'\n") +
                             "agent: Invalid configuration file.\n");
    }
}

TEST_F(ConfigFileTest, SwitchesAndIgnoreAclErrorsStartsCleared) {
    ws_cntl.ignore_acl_errors = 1;
    read(valid());
    EXPECT_EQ(ws_cntl.ignore_acl_errors, 0);
    EXPECT_EQ(ws_cntl.follow_symdirs, 0);
    EXPECT_EQ(ws_cntl.preserve_ctime, 0);

    agent_test::reset_workstation();
    auto r = read(valid("follow_symdirs\npreserve_ctime yes\nignore_acl_errors\n"));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, using_line());
    EXPECT_EQ(ws_cntl.follow_symdirs, 1);
    EXPECT_EQ(ws_cntl.preserve_ctime, 1);
    EXPECT_EQ(ws_cntl.ignore_acl_errors, 1);
}

TEST_F(ConfigFileTest, PosixAclsIsASwitchThatStartsClearedAndIsTraced) {
    ExpectTracedSwitch(&WS_CNTL::posix_acls, "posix_acls", "Carrying POSIX ACLs in the ACL stream");
}

TEST_F(ConfigFileTest, XattrsIsASwitchThatStartsClearedAndIsTraced) {
    ExpectTracedSwitch(&WS_CNTL::xattrs, "xattrs", "Carrying extended attributes in the LXAT stream");
}

TEST_F(ConfigFileTest, LinuxMetadataIsASwitchThatStartsClearedAndIsTraced) {
    ExpectTracedSwitch(&WS_CNTL::linux_metadata, "linux_metadata", "Carrying times and inode flags in the LXMD stream");
}

TEST_F(ConfigFileTest, ExclusionsChainNewestFirstWithTheirKinds) {
    read(valid("exclude_dir /a/dir\nexclude_file /a/file extra\nexclude_dir /b\n"));
    EXCLUDE_ENTRY* e = ws_cntl.exclude_list;
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, EXCLUDE_DIR);
    EXPECT_STREQ(e->name, "/b");
    ASSERT_NE(e = e->next, nullptr);
    EXPECT_EQ(e->kind, EXCLUDE_FILE);
    EXPECT_STREQ(e->name, "/a/file");
    ASSERT_NE(e = e->next, nullptr);
    EXPECT_EQ(e->kind, EXCLUDE_DIR);
    EXPECT_STREQ(e->name, "/a/dir");
    EXPECT_EQ(e->next, nullptr);
}

TEST_F(ConfigFileTest, ServersAndLogFileInFileOrder) {
    read(valid("tell second\nlogfile /tmp/one.log\nlogfile /tmp/two.log\n"));
    ASSERT_EQ(count_queue(ws_cntl.tell_list), 2);
    auto* t = QueueHead<TELL_ENTRY>(ws_cntl.tell_list);
    EXPECT_STREQ(t->name, "127.0.0.1");
    EXPECT_STREQ(QueueNext(t)->name, "second");
    EXPECT_STREQ(ws_cntl.log_file_name, "/tmp/two.log");
}

TEST_F(ConfigFileTest, LinesUpToTheLimitAreReadWholeAndALongerOneIsRefusedWhole) {
    // 8192 bytes of comment: still a comment, whatever its end says.
    std::string comment = "#" + std::string(8191 - 13, 'c') + "tell 10.1.1.1";
    auto r = read(valid(comment + "\r\n"));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, using_line());
    ASSERT_EQ(count_queue(ws_cntl.tell_list), 1);

    agent_test::reset_workstation();
    r = read(valid("#" + comment + "\ntell 10.1.1.2\n"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, using_line() + at(3, "agent: Line is longer than 8192 bytes\n") +
                         "agent: Invalid configuration file.\n");
    ASSERT_EQ(count_queue(ws_cntl.tell_list), 2);
    EXPECT_STREQ(QueueNext(QueueHead<TELL_ENTRY>(ws_cntl.tell_list))->name, "10.1.1.2");
}

TEST_F(ConfigFileTest, CarriageReturnLineEndsAreRemoved) {
    auto r = read("export " + data_ + " as data\r\ntell s\r\ntell_interval 30\r\nmac_as_unix\r\n");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, using_line() + at(4, unrecognized("mac_as_unix")));
    EXPECT_EQ(advertise_interval, 30u);
    EXPECT_STREQ(QueueHead<TELL_ENTRY>(ws_cntl.tell_list)->name, "s");
}

TEST_F(ConfigFileTest, UnreadableFileIsInvalid) {
    // A directory opens but cannot be read.
    path_ = tmp_.path();
    StderrCapture cap;
    int rc = read_config_file(&ws_cntl, path_.c_str());
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(cap.text(), using_line() + "agent: Error reading config file '" + path_ + "': Is a directory\n" +
                              "agent: No directories exported.\nagent: Invalid configuration file.\n");
}

TEST_F(ConfigFileTest, ConfigurationTracesCarryThePid) {
    grfs_debug = DBG_CONFIG;
    auto r = read("name my-host.1\npassword pw\nexport " + data_ + " as data password pw write_protect\n" +
                  "tell_interval 30\ntell srv\nfollow_symdirs\nexclude_file /f\nexclude_dir /d\n" +
                  "preserve_ctime\nforce_address 127.0.0.3\nlogfile /tmp/x.log\nnrl_conn_timeout 7\n" +
                  "ignore_acl_errors\n");
    EXPECT_EQ(r.rc, 1);
    const std::string p = std::to_string(getpid()) + ":";
    EXPECT_EQ(r.err, using_line() + p + "Config File Workstation Name=my-host.1\n" + p +
                         "Mangled Workstation Name=MY_HOST_1\n" + p + "Workstation requires password\n" + p +
                         "exporting " + data_ + " as data password <password> write_protect \n" + p +
                         "interval between advertisements is 30\n" + p + "advertising to srv\n" + p +
                         "Following Symbolic links\n" + p + "Excluding file /f\n" + p + "Excluding directory /d\n" +
                         p + "Preserving inode Ctime on backup\n" + p +
                         "force_address: Verifying IP address=127.0.0.3\n" +
                         at(10, "agent: Forcing IP address: 127.0.0.3\n") + p + "Log file name=/tmp/x.log\n" + p +
                         "NRL connection timeout = 7\n" + p + "Ignoring ACL errors\n");
}

TEST_F(ConfigFileTest, TracesNeedTheConfigurationCategory) {
    grfs_debug = static_cast<uint16_t>(0xFFFF & ~DBG_CONFIG);
    auto r = read(valid("name x\n"));
    EXPECT_EQ(r.err, using_line());
}

}  // namespace
