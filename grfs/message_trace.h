// Message dumps for field diagnosis: every GRFS message the session decodes or
// sends, field by field, written to the message log file.
#pragma once

#include <cstdio>

#include "grfs/dblk.h"
#include "grfs/messages.h"
#include "grfs/xdr.h"

// The stream that receives message dumps; nothing is written while it is null.
extern FILE* dbg_file;

void set_message_log_file(FILE* stream);

// Dumps one message record in host form; size is the stated body length.
void print_message(const GRFS_MESSAGE* msg, int size);

// Dumps one DBLK (host order).
void print_dblk(const GRFS_GEN_DBLK* dblk);

// "Invalid Date\n" when date_valid is 0, else ctime() of the date taken as
// local time (ends with a newline). One static buffer.
const char* date_time_to_str(const DATE_TIME* date);

// Hex dump of at most 200 bytes, 20 to a line.
void DumpMemory(const void* address, int count);
