// The symbolic link a restore delivers as an EA record: made when the
// object opened for WRITE is closed.
#pragma once

#include <ctime>
#include <string_view>

struct DRVDLE;
struct FILE_MEMORY;
struct GRFS_SESSION;

// The target stored in a link record (length word, name, target), or false
// when the bytes written hold no complete record.
bool LinkRecordTarget(const unsigned char* record, size_t length, std::string_view* target);

// Creates the link at the object's path from the record in ea_space,
// replacing a name that exists (but never following a link on the way).
// The link made is recorded as the session's, and gets the owner and times
// that set information left for it (rec->link_info). The outcome is only
// traced. ses: the session the object was opened in.
void MakePendingSymlink(const GRFS_SESSION* ses, FILE_MEMORY* rec);

// The object opened for WRITE through drvdle at rel (below the export
// root) whose close is still to make its link, or nullptr.
FILE_MEMORY* LinkAwaitingClose(const DRVDLE* drvdle, std::string_view rel);

// Gives the symbolic link held by link_fd (an O_PATH descriptor) the
// times, never those of its target. 0, or -1 with errno.
int SetLinkTimes(int link_fd, const timespec times[2]);
