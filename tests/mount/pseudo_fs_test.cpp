#include <gtest/gtest.h>

#include <algorithm>
#include <sys/vfs.h>

#include "mount/pseudo_fs.h"
#include "mount_table_file.h"

namespace {

using Points = std::vector<std::string>;

TEST(PseudoFs, MountPointsOfKernelFileSystemsInTableOrder) {
    MountTableFile table(
        "sysfs /sys sysfs rw 0 0\n"
        "proc /proc proc rw 0 0\n"
        "udev /dev devtmpfs rw 0 0\n"
        "devpts /dev/pts devpts rw 0 0\n"
        "/dev/sda1 / ext4 rw 0 0\n"
        "tmpfs /run tmpfs rw 0 0\n"
        "securityfs /sys/kernel/security securityfs rw 0 0\n"
        "cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n"
        "cgroup /sys/fs/cgroup/cpu cgroup rw 0 0\n"
        "pstore /sys/fs/pstore pstore rw 0 0\n"
        "efivarfs /sys/firmware/efi/efivars efivarfs rw 0 0\n"
        "bpf /sys/fs/bpf bpf rw 0 0\n"
        "systemd-1 /proc/sys/fs/binfmt_misc autofs rw 0 0\n"
        "hugetlbfs /dev/hugepages hugetlbfs rw 0 0\n"
        "mqueue /dev/mqueue mqueue rw 0 0\n"
        "debugfs /sys/kernel/debug debugfs rw 0 0\n"
        "tracefs /sys/kernel/tracing tracefs rw 0 0\n"
        "fusectl /sys/fs/fuse/connections fusectl rw 0 0\n"
        "configfs /sys/kernel/config configfs rw 0 0\n"
        "binfmt_misc /proc/sys/fs/binfmt_misc binfmt_misc rw 0 0\n"
        "sunrpc /run/rpc_pipefs rpc_pipefs rw 0 0\n"
        "nsfs /run/netns/x nsfs rw 0 0\n"
        "srv:/h /home nfs rw 0 0\n"
        "overlay /var/lib/docker/x overlay rw 0 0\n");
    EXPECT_EQ(pseudo_fs_mount_points(table.path()),
              (Points{"/sys", "/proc", "/dev/pts", "/sys/kernel/security", "/sys/fs/cgroup", "/sys/fs/cgroup/cpu",
                      "/sys/fs/pstore", "/sys/firmware/efi/efivars", "/sys/fs/bpf", "/proc/sys/fs/binfmt_misc",
                      "/dev/hugepages", "/dev/mqueue", "/sys/kernel/debug", "/sys/kernel/tracing",
                      "/sys/fs/fuse/connections", "/sys/kernel/config", "/run/rpc_pipefs", "/run/netns/x"}));
}

TEST(PseudoFs, EachMountPointOnceAndDecoded) {
    MountTableFile table(
        "proc /proc proc rw 0 0\n"
        "proc /proc proc rw 0 0\n"
        "proc /srv/chroot\\040one/proc/ proc rw 0 0\n");
    EXPECT_EQ(pseudo_fs_mount_points(table.path()), (Points{"/proc", "/srv/chroot one/proc"}));
}

TEST(PseudoFs, NoneWithoutTableOrPseudoMounts) {
    EXPECT_TRUE(pseudo_fs_mount_points("/nonexistent/mounts").empty());
    MountTableFile table("/dev/sda1 / ext4 rw 0 0\ntmpfs /tmp tmpfs rw 0 0\n");
    EXPECT_TRUE(pseudo_fs_mount_points(table.path()).empty());
}

TEST(PseudoFs, TypeNamesMatchExactly) {
    EXPECT_TRUE(is_pseudo_fs_type("proc"));
    EXPECT_TRUE(is_pseudo_fs_type("cgroup2"));
    EXPECT_FALSE(is_pseudo_fs_type("procx"));
    EXPECT_FALSE(is_pseudo_fs_type("devtmpfs"));
    EXPECT_FALSE(is_pseudo_fs_type("tmpfs"));
    EXPECT_FALSE(is_pseudo_fs_type(""));
}

TEST(PseudoFs, ProcessMountTableListsProcWhereItIsMounted) {
    struct statfs st;
    constexpr long kProcMagic = 0x9fa0;
    if (statfs("/proc", &st) != 0 || st.f_type != kProcMagic) GTEST_SKIP() << "/proc is not a proc mount here";
    Points points = pseudo_fs_mount_points();
    EXPECT_NE(std::find(points.begin(), points.end(), "/proc"), points.end());
}

}  // namespace
