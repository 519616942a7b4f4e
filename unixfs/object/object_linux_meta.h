// The Linux metadata of an open object (configuration keyword
// linux_metadata): the LXMD stream (unixfs/linux_meta_stream.h) follows the
// LXAT stream. A READ or VERIFY open takes the times and flags once; a
// restore collects the stream and hands it at close to the attachment's
// kept metadata (unixfs/kept_linux_meta.h), which sets it last.
#pragma once

#include <cstdint>

#include "unixfs/object/kept_linux_meta.h"

struct FILE_MEMORY;
struct GRFS_SESSION;

// Object offset where the stream begins: behind the LXAT stream.
uint64_t LinuxMetaStreamOffset(const FILE_MEMORY* rec);
// Its length in a READ or VERIFY open; 0 when the object carries none.
uint64_t LinuxMetaStreamSize(const FILE_MEMORY* rec);

// READ and VERIFY opens of files, directories and symbolic links: takes
// the times and flags, before anything reads the object (reading a link's
// target moves its access time). An object whose status cannot be taken
// carries none.
void CaptureLinuxMeta(FILE_MEMORY* rec);
// Then, once total_size holds the streams before this one: places the
// stream behind them and adds it to total_size (capturing it first if that
// was not done).
void OpenLinuxMetaStream(FILE_MEMORY* rec);

// Read side, as for the LXAT stream.
bool LinuxMetaStreamHeader(const FILE_MEMORY* rec, uint64_t x, uint32_t* id, uint64_t* size);
bool InsideLinuxMetaStream(const FILE_MEMORY* rec, uint64_t x);
bool ReadLinuxMetaBytes(const FILE_MEMORY* rec, uint64_t pos, uint32_t asked, unsigned char* dest,
                        uint32_t* delivered);

// Write side: count bytes of the stream (the record's cur_stream). -495,
// and nothing consumed or applied, for a stream that is not one well-formed
// record.
int WriteLinuxMetaStream(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count);

// At close of a WRITE open, after every other change of the object: hands
// the collected record to the attachment, which sets the times now and
// keeps them and the flags until it ends.
void KeepLinuxMetaAtClose(GRFS_SESSION* ses, FILE_MEMORY* rec);

void ReleaseLinuxMetaStream(FILE_MEMORY* rec);
