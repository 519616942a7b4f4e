// Extended attributes of an open object (configuration keyword xattrs):
// the LXAT stream (unixfs/xattr_stream.h) follows the object's data, EA and
// ACL streams. A READ or VERIFY open takes the attributes once, so that
// what is announced is exactly what is read; a restore collects the stream
// and applies it when the object is closed, after every other change.
#pragma once

#include <cstdint>
#include <sys/stat.h>

struct DRVDLE;
struct FILE_MEMORY;
struct GRFS_SESSION;
struct WS_CNTL;

// True when the workstation record ws says extended attributes are carried.
bool XattrsCarried(const WS_CNTL* ws);

// Object offset where the LXAT stream begins: behind the data, EA and ACL
// streams. The one place that knows what lies before it.
uint64_t XattrStreamOffset(const FILE_MEMORY* rec);
// Its length in a READ or VERIFY open; 0 when the object has none.
uint64_t XattrStreamSize(const FILE_MEMORY* rec);

// READ and VERIFY opens of files, directories and symbolic links, once
// total_size holds the streams before this one: takes the object's
// attributes and, when it has any, adds the LXAT stream to total_size.
// Nothing is reported: an object whose attributes cannot be read has none.
void OpenXattrStream(FILE_MEMORY* rec);

// Read side. When x is where the LXAT stream begins: its id and size.
bool XattrStreamHeader(const FILE_MEMORY* rec, uint64_t x, uint32_t* id, uint64_t* size);
// True when x lies strictly inside the stream (a read there has no header).
bool InsideXattrStream(const FILE_MEMORY* rec, uint64_t x);
// When obj_pos lies in the stream: copies up to asked bytes to dest,
// *delivered says how many, and true.
bool ReadXattrBytes(const FILE_MEMORY* rec, uint64_t pos, uint32_t asked, unsigned char* dest, uint32_t* delivered);

// Write side: count bytes of the LXAT stream (the record's cur_stream).
// Everything is consumed and obj_pos advances; -506 when the stream is
// larger than 4 MiB, -495 when it is malformed, and then nothing consumed
// and nothing applied at close.
int WriteXattrStream(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count);

// At close of a WRITE open, after every other change of the object (its
// data, a symbolic link made at close): sets the collected attributes. A
// name or value the file system refuses is reported on the console and the
// others still go on.
void ApplyXattrsAtClose(GRFS_SESSION* ses, FILE_MEMORY* rec);

// Set-information changed the owner of, or cut, the regular file held by
// obj (a descriptor that opens nothing), which clears its file
// capability: sets it again when this session restored one for that inode.
void RestoreCapabilityAfterChange(const GRFS_SESSION* ses, int obj, const struct stat& st);

// Frees what the record holds for the stream.
void ReleaseXattrStream(FILE_MEMORY* rec);
