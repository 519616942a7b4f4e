// The current directory of a DLE attachment.
#pragma once

struct GRFS_SESSION;
struct GRFS_MESSAGE;

// GRFS_CHANGE_DIR; returns whether sending failed.
int ChangeDir(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);

// Session end: the directories named on the console for the length of
// their path may be named again in the next session.
void ForgetTooLongDirectories();

// Longest file name allowed in the directory path (14 when the file system
// states no limit or cannot be asked).
int query_max_name_len(const char* path);
// The same for an open directory descriptor; path only names it in traces.
int query_max_name_len_fd(int dir_fd, const char* path);
