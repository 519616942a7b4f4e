// An object's EA stream: the record of a symbolic link, held in ea_space.
#pragma once

struct FILE_MEMORY;

// Prepares ea_space for the object's EA stream: READ and VERIFY load the
// link record, WRITE makes room for ea_size bytes. 0 or a retcode.
int Unix_OpenEA(FILE_MEMORY* rec);
// Writes the symbolic-link record (length word, name, target) into ea_space
// and sets ea_size to its length. 0; -507 when the link's directory lies
// beyond a link the export may not pass; -1 when no EA buffer can be had.
int Unix_LoadEAbuffer(FILE_MEMORY* rec);
