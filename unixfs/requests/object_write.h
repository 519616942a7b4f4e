// Restore: the byte sequence of an object opened for WRITE arrives in
// GRFS_WRITE_OBJ / GRFS_WRITE_OBJ_LARGE requests, stream by stream (data,
// then the Unix EA record of a symbolic link). Data goes to the open
// descriptor at its current position; the EA record collects in ea_space
// and becomes the link when the object is closed; with posix_acls the ACL
// stream, which must arrive whole, is applied when it arrives.
#pragma once

#include <cstdint>

#include "grfs/messages.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"

// Handlers. length is the received message length, header included (0 when
// unknown): a request whose size claims more data bytes than it carries is
// refused with -495 and nothing is written. They return 1 when the reply
// could not be sent, else the retcode.
int WriteObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);
int WriteObjectLarge(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);

// Consume count bytes of the stream in rec->cur_stream. count returns the
// bytes consumed; blk_size 1 means "go on", any other value the number of
// bytes needed in one request. A data stream sent to a directory is consumed
// and dropped.
int Unix_WriteFile(FILE_MEMORY* rec, const unsigned char* data, UINT64 offset, uint32_t* count,
                   uint32_t* blk_size);
int Unix_WriteDir(FILE_MEMORY* rec, const unsigned char* data, UINT64 offset, uint32_t* count,
                  uint32_t* blk_size);
// Appends to the EA record in ea_space. 0; -506 (nothing stored, nothing
// consumed) when the bytes would not fit in ea_space.
int Unix_WriteEA(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count, uint32_t* blk_size);
// One write of count bytes; count returns the bytes written.
int WriteFileUnix(int fd, const unsigned char* data, uint32_t* count);
