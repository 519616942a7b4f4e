// The read-ahead of a plain file held as page references in a pipe rather
// than as bytes in preread_buf: the prime and each refill splice the file
// range into the record's pipe, and a reply sends its bytes from the pipe to
// the socket. The counters preread_datasize and preread_offset keep their
// meaning; between requests the pipe holds exactly the bytes not yet handed
// out (preread_datasize - preread_offset).
//
// The bytes a reply carries are those of the captured pages when they leave:
// a page written in place after the capture goes out with the new bytes, and
// bytes beyond a file's new end after a truncation (the kernel zeroes the
// rest of a page, or of a large folio, that straddles the new end) go out as
// zeros. Counts, retcodes and headers are those of the buffered read-ahead.
#pragma once

#include <cstdint>

struct FILE_MEMORY;
class SplicePipe;

// Where handed-out file data lies: bytes in preread_buf, or the pipe.
struct READ_AHEAD_REF {
    const unsigned char* bytes = nullptr;
    SplicePipe* pipe = nullptr;
};

// At the prime of a READ or VERIFY open: a file without holes reads ahead
// into the record's pipe (made at the first such open of the record) when
// the platform gives one; any other file, and any record without a pipe,
// reads ahead into preread_buf as before.
void ChooseReadAhead(FILE_MEMORY* rec);

// One fill from the descriptor's position (which is file_offset): keep bytes
// are held already (at the front of preread_buf, or in the pipe); up to
// *size bytes are added behind them. Results, counts and traces as
// FillReadAheadBuffer gives them; a file that cannot be spliced (or whose splice
// fails) moves the read-ahead to preread_buf for the rest of the open and
// is read there, with ReadFileUnix's retry and error mapping.
int FillReadAhead(FILE_MEMORY* rec, uint64_t file_offset, uint32_t keep, uint32_t* size);

// Hands out n bytes from the front of the not yet handed-out read-ahead
// (preread_offset advances by n): *ref says where they lie.
void HandOutReadAhead(FILE_MEMORY* rec, uint32_t n, READ_AHEAD_REF* ref);

// Copies n bytes handed out to dest (taking them out of the pipe).
void CopyHandedOut(const READ_AHEAD_REF& ref, unsigned char* dest, uint32_t n);

// Skips n not yet handed-out bytes (a seek inside the read-ahead).
void SkipReadAhead(FILE_MEMORY* rec, uint32_t n);

// Forgets the read-ahead (a seek past it, a new open, a close): the pipe
// is emptied and the counters become 0.
void DropReadAhead(FILE_MEMORY* rec);

// After a reply with bytes from the pipe failed to go out: the bytes of that
// reply still in the pipe are dropped, so that it again holds exactly the
// bytes not yet handed out.
void SettleReadAheadAfterFailedSend(FILE_MEMORY* rec);

// At the end of a record.
void FreeReadAheadPipe(FILE_MEMORY* rec);
