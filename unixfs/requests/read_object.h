// Reading objects: GRFS_READ_OBJ(_LARGE) hand out the object's byte
// sequence (data stream, EA stream, then with posix_acls the ACL stream)
// with a stream header where a stream begins and the end-of-object code
// with the last bytes, file data served from the read-ahead buffer.
#pragma once

#include <cstdint>

struct GRFS_SESSION;
struct GRFS_MESSAGE;
struct FILE_MEMORY;
struct READ_AHEAD_REF;

constexpr uint32_t kRefillThreshold = 4096;  // read-ahead refills at or below this

// GRFS_READ_OBJ and GRFS_READ_OBJ_LARGE. The reply's retcode, or 1 when the
// send failed.
int ReadObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);
int ReadObjectLarge(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);

// Copy the next bytes of a file or directory object from obj_pos into dest:
// *size asked in, delivered out; obj_pos advances by what is delivered.
// offset is the request's offset (traces only). 0 or a retcode. With
// data_ref given, file data is not copied: *data_ref says where it lies in
// the read-ahead (preread_buf, valid until it is next refilled, or the pipe,
// whose next bytes they are); other bytes still go to dest and leave
// *data_ref empty.
int UnixReadFile(FILE_MEMORY* rec, uint64_t offset, uint32_t* size, uint32_t* blk_size, unsigned char* dest,
                 READ_AHEAD_REF* data_ref = nullptr);
int UnixReadDir(FILE_MEMORY* rec, uint64_t offset, uint32_t* size, uint32_t* blk_size, unsigned char* dest);

// Serves file data at file_offset (which is where obj_pos lies in the file)
// from the read-ahead buffer, refilling it once when it is empty.
int FillReadBuffer(FILE_MEMORY* rec, uint64_t file_offset, unsigned char* dest, uint32_t* size);
// The same without the copy: *from says where the bytes lie.
int FillReadBufferRef(FILE_MEMORY* rec, uint64_t file_offset, READ_AHEAD_REF* from, uint32_t* size);

// After a reply went out: when 4096 bytes or fewer are left in the
// read-ahead buffer and they are fewer than those handed out, move them to
// the front and read behind them.
void RefillReadAhead(FILE_MEMORY* rec);
