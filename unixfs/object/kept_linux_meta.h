// The times and inode flags a restore's LXMD streams gave the objects of
// one attachment, kept until it ends.
//
// Every later change of an object or of a directory's entries would undo
// them: set information sets the DBLK's whole seconds, a child made in a
// directory sets its modification time, and an immutable or append-only
// flag would forbid what follows. So the times are set at the object's
// close, again after each set information of its name, and once more when
// the attachment ends (the deepest objects first); the flags are set only
// then, immutable and append-only last of all.
//
// They go only to the inode the name led to when its stream was applied
// (the one the session made there, where it made one): a name that leads
// elsewhere by then is left alone.
#pragma once

#include <string_view>

struct DRVDLE;
struct WS_CNTL;
struct LINUX_META;

// rel (below the export root) received meta at its close: sets its times
// now and keeps both for the end of the attachment.
void KeepLinuxMeta(DRVDLE* drvdle, std::string_view rel, const LINUX_META& meta);
// Set information changed rel: its kept times, if any, are set again.
void ReapplyKeptTimes(DRVDLE* drvdle, std::string_view rel);
// The attachment ends: sets every kept object's times and flags (a flag the
// file system or the agent's capabilities refuse is named on the console)
// and forgets them. Needs the attachment's root descriptor.
void ApplyKeptLinuxMeta(DRVDLE* drvdle);

// With linux_metadata, a restore about to change the existing object path_fd
// (any descriptor of it, O_PATH included) first takes away its immutable and
// append-only flags, which would forbid the change; its stream sets them
// again. Nothing without the keyword, or for objects other than regular
// files and directories.
void ClearLockingFlags(const DRVDLE* drvdle, int path_fd);
// The same for the object named name in the directory dir_fd, if any; a
// symbolic link there is not followed.
void ClearLockingFlagsAt(const DRVDLE* drvdle, int dir_fd, const char* name);

// True when the workstation record ws says Linux metadata is carried.
bool LinuxMetaCarried(const WS_CNTL* ws);
