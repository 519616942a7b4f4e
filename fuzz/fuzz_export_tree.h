// The file-system side of the session fuzz target: a work directory holding
// the exported tree and, next to it, a sentinel tree that no request may
// change. The export is laid anew before every input; everything else under
// the work directory is fingerprinted once and compared after every input.
#pragma once

#include <cstddef>
#include <string>

namespace fuzz_tree {

// Makes the work directory's contents below root (an existing, empty
// directory): export/, sentinel/ and a file beside them.
void CreateWorkTree(const std::string& root);

// Removes whatever the last input left in export/ and lays it out again:
// files of several sizes and modes, a subdirectory, a FIFO, and symbolic
// links that lead out of the export: to the secret files of sentinel/
// (relative and absolute), and to the directory linked/, which holds no
// secret because follow_symdirs allows reading through links to
// directories.
void ResetExport(const std::string& root);

// A digest of everything under root except export/: names, types, modes,
// owners, sizes, modification and change times, link targets and contents.
std::string FingerprintOutside(const std::string& root);

// A random text, made once per process, that only the files outside the
// export hold. Random, and never compared through a library routine the
// fuzzer watches, so that no input can learn it and echo it back.
const std::string& SentinelSecret();

// True when secret occurs in bytes (a plain loop, for the reason above).
bool Contains(const unsigned char* bytes, size_t size, const std::string& secret);

// The export's path below root.
std::string ExportPath(const std::string& root);

}  // namespace fuzz_tree
