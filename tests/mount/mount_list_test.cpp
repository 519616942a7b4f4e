#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mount/mount_list.h"
#include "mount_table_file.h"

namespace {

class MountLists : public ::testing::Test {
protected:
    void SetUp() override { free_mount_lists(); }
    void TearDown() override {
        free_mount_lists();
        set_mount_table_path(nullptr);
    }

    // Builds the lists from the given table text as an attach would.
    void build(const std::string& text) {
        table_ = std::make_unique<MountTableFile>(text);
        set_mount_table_path(table_->path());
        EXPECT_EQ(create_mount_list(3, 0), 0);
    }

    std::unique_ptr<MountTableFile> table_;
};

// Mount points of a list from head to tail, checking the links both ways.
std::vector<std::string> points(const MOUNT_LIST& list) {
    std::vector<std::string> out;
    const MOUNT_ENTRY* prev = nullptr;
    for (const MOUNT_ENTRY* e = list.head; e != nullptr; e = e->next) {
        EXPECT_EQ(e->prev, prev);
        out.push_back(e->mount_point);
        prev = e;
    }
    EXPECT_EQ(list.tail, prev);
    return out;
}

using Points = std::vector<std::string>;

TEST(MountTypes, CodesOfTypeNames) {
    EXPECT_EQ(fs_type_code("nfs"), FS_NFS);
    EXPECT_EQ(fs_type_code("nfs3"), FS_NFS);
    EXPECT_EQ(fs_type_code("nfs4"), FS_NFS);
    EXPECT_EQ(fs_type_code("nfsd"), FS_NFS);  // every name that begins with "nfs"
    EXPECT_EQ(fs_type_code("lofs"), FS_LOFS);
    EXPECT_EQ(fs_type_code("autofs"), FS_AUTOFS);
    EXPECT_EQ(fs_type_code("proc"), FS_PROC);
    EXPECT_EQ(fs_type_code("fd"), FS_FD);
    EXPECT_EQ(fs_type_code("hsfs"), FS_HSFS);
    EXPECT_EQ(fs_type_code("tmpfs"), FS_TMPFS);
    EXPECT_EQ(fs_type_code("vxfs"), FS_VXFS);
    EXPECT_EQ(fs_type_code("cachefs"), FS_CACHEFS);
    EXPECT_EQ(fs_type_code("ufs"), FS_UFS);
    EXPECT_EQ(fs_type_code("mvfs"), FS_MVFS);
    EXPECT_EQ(fs_type_code("ext4"), FS_OTHER);
    EXPECT_EQ(fs_type_code("ufsx"), FS_OTHER);
    EXPECT_EQ(fs_type_code("nf"), FS_OTHER);
}

TEST(MountTypes, LinuxNetworkFileSystemsAreRemote) {
    for (const char* t : {"nfs", "nfs4", "cifs", "smb3", "smbfs", "9p", "ceph", "glusterfs", "fuse.sshfs", "afs",
                          "ncpfs", "davfs", "lofs", "autofs", "nfsd"})
        EXPECT_TRUE(is_remote_code(fs_type_code(t))) << t;
    for (const char* t : {"ext4", "xfs", "btrfs", "overlay", "tmpfs", "proc", "sysfs", "fuse", "fuse.gvfsd", "vfat",
                          "ufs", "zfs"})
        EXPECT_FALSE(is_remote_code(fs_type_code(t))) << t;
}

TEST(MountTypes, ResourceAndMountPointOverrides) {
    EXPECT_EQ(mount_entry_code("ext4", "AFS", "/afs"), FS_AFS);
    EXPECT_EQ(mount_entry_code("ext4", "AFSx", "/afs"), FS_OTHER);
    EXPECT_EQ(mount_entry_code("ext4", "mvfs=/view", "/view"), FS_MVFS);
    EXPECT_EQ(mount_entry_code("ufs", "/dev/dsk/c0t0d0s3", "/tmp"), FS_TMPFS);
    EXPECT_EQ(mount_entry_code("ufs", "/dev/dsk/c0t0d0s3", "/tmp/"), FS_TMPFS);
    EXPECT_EQ(mount_entry_code("ufs", "/dev/sr0", "/cdrom"), FS_HSFS);
    EXPECT_EQ(mount_entry_code("ufs", "/dev/sr0", "/CDROM"), FS_HSFS);
    EXPECT_EQ(mount_entry_code("ufs", "/dev/sr0", "/cdrom/disc1"), FS_HSFS);
    EXPECT_EQ(mount_entry_code("ufs", "/dev/sr0", "/CDROM/x"), FS_HSFS);
    EXPECT_EQ(mount_entry_code("ufs", "/dev/sr0", "/cdromx"), FS_UFS);
    // The renames are for local entries only.
    EXPECT_EQ(mount_entry_code("nfs", "host:/tmp", "/tmp"), FS_NFS);
    EXPECT_EQ(mount_entry_code("nfs", "host:/cd", "/cdrom"), FS_NFS);
}

TEST_F(MountLists, LocalAndRemoteByType) {
    build("/dev/vda / ext4 rw 0 0\n"
          "srv:/home /home nfs4 rw 0 0\n"
          "//srv/share /mnt/share cifs rw 0 0\n"
          "tmpfs /run tmpfs rw 0 0\n"
          "user@h:/x /mnt/ssh fuse.sshfs rw 0 0\n");
    // Each list runs from the last entry read back to the first.
    EXPECT_EQ(points(nfs_mount_list), (Points{"/mnt/ssh", "/mnt/share", "/home"}));
    EXPECT_EQ(points(local_mount_list), (Points{"/run", "/"}));
    EXPECT_EQ(local_mount_list.tail->fs_type, FS_OTHER);
    EXPECT_EQ(local_mount_list.head->fs_type, FS_TMPFS);
    EXPECT_STREQ(nfs_mount_list.tail->special, "srv:/home");
    EXPECT_EQ(NFS("/mnt/share/doc"), 1);
    EXPECT_EQ(NFS("/mnt/ssh"), 1);
    EXPECT_EQ(NFS("/run/lock"), 0);
    EXPECT_EQ(NFS("/mnt"), 0);
}

TEST_F(MountLists, RemoteMountCoversItsOwnTreeOnly) {
    build("/dev/dsk/c0t0d0s0 / ufs rw 0 0\n"
          "server:/export/home /home nfs rw 0 0\n");
    EXPECT_EQ(NFS("/home/x"), 1);
    EXPECT_EQ(NFS("/home"), 1);
    EXPECT_EQ(NFS("/home/"), 1);
    EXPECT_EQ(NFS("/homework"), 0);
    EXPECT_EQ(NFS("/hom"), 0);
    EXPECT_EQ(NFS("/"), 0);
    EXPECT_EQ(NFS("/usr/bin"), 0);
}

TEST_F(MountLists, LoopbackRemoteUnlessALocalMountBelowHoldsThePath) {
    build("/dev/dsk/c0t0d0s0 / ufs rw 0 0\n"
          "/export/real /export/a lofs rw 0 0\n"
          "/dev/dsk/c0t1d0s0 /export/a/b ufs rw 0 0\n");
    EXPECT_EQ(NFS("/export/a/b/c"), 0);
    EXPECT_EQ(NFS("/export/a/b"), 0);
    EXPECT_EQ(NFS("/export/a/c"), 1);
    EXPECT_EQ(NFS("/export/a"), 1);
    EXPECT_EQ(NFS("/export/ab"), 0);
    EXPECT_EQ(NFS("/export"), 0);
}

TEST_F(MountLists, LocalFileSystemMountedInsideANetworkMountIsLocal) {
    build("/dev/sda1 / ext4 rw 0 0\n"
          "srv:/home /home nfs rw 0 0\n"
          "/dev/sdb1 /home/x/local xfs rw 0 0\n");
    EXPECT_EQ(NFS("/home/x/local/y"), 0);
    EXPECT_EQ(NFS("/home/x/local"), 0);
    EXPECT_EQ(NFS("/home/x/localz"), 1);
    EXPECT_EQ(NFS("/home/x/other"), 1);
}

TEST_F(MountLists, NetworkRootMakesEveryPathOutsideLocalMountsRemote) {
    build("srv:/roots/host / nfs rw 0 0\n"
          "/dev/sda1 /scratch ext4 rw 0 0\n");
    EXPECT_EQ(NFS("/"), 1);
    EXPECT_EQ(NFS("/usr/lib"), 1);
    EXPECT_EQ(NFS("/scratch/data"), 0);
}

TEST_F(MountLists, AutomountCheckDropsPlaceholderOfALocalMount) {
    build("/dev/dsk/c0t0d0s0 / ufs rw 0 0\n"
          "auto_data /data nfs rw 0 0\n"
          "srv:/a /net/a nfs rw 0 0\n"
          "/dev/dsk/c0t2d0s0 /data ufs rw 0 0\n"
          "srv:/b /net/b nfs rw 0 0\n");
    EXPECT_EQ(points(nfs_mount_list), (Points{"/net/b", "/net/a"}));
    EXPECT_EQ(points(local_mount_list), (Points{"/data", "/"}));
    EXPECT_EQ(NFS("/data/file"), 0);
    EXPECT_EQ(NFS("/net/a/file"), 1);
    EXPECT_EQ(NFS("/net/b/file"), 1);
}

TEST_F(MountLists, AutomountCheckKeepsListLinksWhenRemovingTheTail) {
    build("/dev/sda1 / ext4 rw 0 0\n"
          "systemd-1 /boot/efi autofs rw 0 0\n"
          "srv:/x /x nfs rw 0 0\n"
          "/dev/sda2 /boot/efi vfat rw 0 0\n");
    EXPECT_EQ(points(nfs_mount_list), Points{"/x"});
    EXPECT_EQ(NFS("/boot/efi/EFI"), 0);
    // The list takes new entries correctly after the removal.
    table_->rewrite("srv:/y /y nfs rw 0 0\n");
    create_mount_list(3, 0);
    EXPECT_EQ(points(nfs_mount_list), (Points{"/y", "/x"}));
}

TEST_F(MountLists, AutomountPlaceholderAloneCountsAsRemote) {
    build("/dev/sda1 / ext4 rw 0 0\n"
          "systemd-1 /mnt/auto autofs rw 0 0\n");
    EXPECT_EQ(NFS("/mnt/auto/x"), 1);
}

TEST_F(MountLists, NoAutomountCheckWithoutNfsOrAutofsEntries) {
    // Same mount point, but a loop-back entry does not start the check.
    build("/dev/sda1 / ext4 rw 0 0\n"
          "/dev/sdb1 /data ext4 rw 0 0\n"
          "/data /data lofs rw 0 0\n");
    EXPECT_EQ(points(nfs_mount_list), Points{"/data"});
}

TEST_F(MountLists, TrailingSlashStrippedExceptForRoot) {
    build("/dev/sda1 / ext4 rw 0 0\n"
          "/dev/sdb1 /data/ ext4 rw 0 0\n");
    const MOUNT_ENTRY* data = local_mount_list.head;
    ASSERT_NE(data, nullptr);
    EXPECT_STREQ(data->mount_point, "/data");
    EXPECT_STREQ(data->mount_point_read, "/data/");
    EXPECT_EQ(data->mount_point_len, 5U);
    const MOUNT_ENTRY* root = local_mount_list.tail;
    EXPECT_STREQ(root->mount_point, "/");
    EXPECT_EQ(root->mount_point_len, 1U);
    EXPECT_EQ(get_local_mount_entry("/data/x"), data);
}

TEST_F(MountLists, LongestLocalPrefixWins) {
    build("/dev/sda1 / ext4 rw 0 0\n"
          "/dev/sdb1 /home ext4 rw 0 0\n"
          "/dev/sdc1 /home/alice xfs rw 0 0\n"
          "/dev/sdd1 /homework ext4 rw 0 0\n");
    EXPECT_STREQ(get_local_mount_entry("/home/alice/x")->special, "/dev/sdc1");
    EXPECT_STREQ(get_local_mount_entry("/home/alice")->special, "/dev/sdc1");
    EXPECT_STREQ(get_local_mount_entry("/home/alicex")->special, "/dev/sdb1");
    EXPECT_STREQ(get_local_mount_entry("/home")->special, "/dev/sdb1");
    EXPECT_STREQ(get_local_mount_entry("/homework/a")->special, "/dev/sdd1");
    EXPECT_STREQ(get_local_mount_entry("/hom")->special, "/dev/sda1");
    EXPECT_STREQ(get_local_mount_entry("/")->special, "/dev/sda1");
    EXPECT_STREQ(get_local_mount_entry("/usr")->special, "/dev/sda1");
}

TEST_F(MountLists, AmongEqualMountPointsTheOneReadLaterWins) {
    build("/dev/sda1 / ext4 rw 0 0\n"
          "/dev/old /mnt ext4 rw 0 0\n"
          "/dev/new /mnt xfs rw 0 0\n");
    EXPECT_STREQ(get_local_mount_entry("/mnt/f")->special, "/dev/new");
}

TEST_F(MountLists, NoLocalEntryWithoutACoveringMount) {
    build("/dev/sdb1 /data ext4 rw 0 0\n");
    EXPECT_EQ(get_local_mount_entry("/usr"), nullptr);
    EXPECT_EQ(get_local_mount_entry("/datax"), nullptr);
}

TEST_F(MountLists, EscapedMountPointsAreDecoded) {
    build("/dev/sda1 / ext4 rw 0 0\n"
          "srv:/s /mnt/my\\040share nfs rw 0 0\n"
          "/dev/sdb1 /mnt/tab\\011dir ext4 rw 0 0\n");
    EXPECT_EQ(points(nfs_mount_list), Points{"/mnt/my share"});
    EXPECT_EQ(NFS("/mnt/my share/f"), 1);
    EXPECT_EQ(NFS("/mnt/my"), 0);
    EXPECT_STREQ(get_local_mount_entry("/mnt/tab\tdir/x")->special, "/dev/sdb1");
}

TEST_F(MountLists, MalformedAndOverlongLinesMakeNoEntries) {
    std::string options(20000, 'o');
    build("/dev/sda1 / ext4 rw 0 0\n"
          "overlay /var/lib/c overlay " + options + " 0 0\n"
          "\n"
          "# comment\n"
          "broken\n"
          "srv:/h /h nfs rw 0 0\n");
    EXPECT_EQ(points(local_mount_list), (Points{"/var/lib/c", "/"}));
    EXPECT_EQ(points(nfs_mount_list), Points{"/h"});
    EXPECT_EQ(NFS("/usr"), 0);  // no empty mount point that would cover every path
}

TEST_F(MountLists, SecondAttachAddsNewMountsOnly) {
    const std::string first = "/dev/sda1 / ext4 rw 0 0\n"
                              "srv:/h /home nfs rw 0 0\n"
                              "/dev/sdb1 /tmp ext4 rw 0 0\n"
                              "AFS /afs afs rw 0 0\n"
                              "/dev/sr0 /cdrom iso9660 ro 0 0\n"
                              "AFS /afs2 ext4 rw 0 0\n";
    build(first);
    EXPECT_EQ(points(nfs_mount_list), (Points{"/afs2", "/afs", "/home"}));
    EXPECT_EQ(points(local_mount_list), (Points{"/cdrom", "/tmp", "/"}));
    table_->rewrite(first + "srv:/p /proj nfs rw 0 0\n/dev/sdc1 /scratch ext4 rw 0 0\n");
    EXPECT_EQ(create_mount_list(3, 0), 0);
    EXPECT_EQ(points(nfs_mount_list), (Points{"/proj", "/afs2", "/afs", "/home"}));
    EXPECT_EQ(points(local_mount_list), (Points{"/scratch", "/cdrom", "/tmp", "/"}));
    EXPECT_EQ(NFS("/proj/a"), 1);
}

TEST_F(MountLists, UnmountedFileSystemsStayListed) {
    build("/dev/sda1 / ext4 rw 0 0\n"
          "srv:/h /home nfs rw 0 0\n");
    table_->rewrite("/dev/sda1 / ext4 rw 0 0\n");
    create_mount_list(3, 0);
    EXPECT_EQ(NFS("/home/a"), 1);
}

TEST_F(MountLists, MissingTableLeavesEveryPathLocal) {
    set_mount_table_path("/nonexistent/mounts");
    EXPECT_EQ(create_mount_list(3, 0), 0);
    EXPECT_EQ(nfs_mount_list.head, nullptr);
    EXPECT_EQ(local_mount_list.head, nullptr);
    EXPECT_EQ(NFS("/home/x"), 0);
    EXPECT_EQ(get_local_mount_entry("/"), nullptr);
}

TEST_F(MountLists, DefaultTableIsTheProcessMountTable) {
    EXPECT_STREQ(get_mount_table_path(), "/proc/self/mounts");
    EXPECT_EQ(create_mount_list(3, 0), 0);
    // The root is mounted in any mount table.
    EXPECT_TRUE(get_local_mount_entry("/") != nullptr || NFS("/") == 1);
}

}  // namespace
