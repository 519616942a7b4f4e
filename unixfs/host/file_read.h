// Reading a file descriptor the way every object read does: the retry in
// pieces after an error and the mapping of errors to retcodes.
#pragma once

#include <cstdint>

constexpr uint32_t kReadRetryPiece = 512;    // piece size of the re-read after an error

// One read of up to *size bytes from the descriptor's position, which is
// file_offset. 0 with *size bytes; -500 at end of file; after a read error
// the descriptor goes back to file_offset and the bytes are read again in
// 512-byte pieces, *size telling how many arrived and the result the error
// (-499 for EIO, -507 otherwise) unless end of file was met (-500).
int ReadFileUnix(int fd, uint64_t file_offset, unsigned char* dest, uint32_t* size);
