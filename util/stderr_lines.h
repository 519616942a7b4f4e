// Standard error is shared by every process of the agent and read line by
// line (the journal, the administrator's filters). Some traces are written
// in pieces; a piece is held back until its line ends, so nothing written
// there is ever left without its line end for another line to run on from.
#pragma once

#include <string_view>

// Writes one whole line (it should end with a line end) in one write. A
// piece of a line this process holds back is written first, ended.
void WriteStderrLine(std::string_view line);

// Adds a piece of a trace line. Once the pieces end a line, the line is
// written in one write; a very long run of pieces is ended and written.
void WriteStderrPiece(std::string_view piece);

// True when this process holds no piece back: the next piece starts a line.
bool StderrAtLineStart();
