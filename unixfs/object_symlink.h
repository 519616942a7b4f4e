// The symbolic link a restore delivers as an EA record: made when the
// object opened for WRITE is closed.
#pragma once

#include <string_view>

struct FILE_MEMORY;
struct GRFS_SESSION;

// The target stored in a link record (length word, name, target), or false
// when the bytes written hold no complete record.
bool LinkRecordTarget(const unsigned char* record, size_t length, std::string_view* target);

// Creates the link at the object's path from the record in ea_space,
// replacing a name that exists (but never following a link on the way).
// The outcome is only traced. ses: the session the object was opened in.
void MakePendingSymlink(const GRFS_SESSION* ses, FILE_MEMORY* rec);
