// Keeps a fuzzing run that acts as root on the real file system from doing
// harm should a request escape its export: a private mount namespace in
// which every file system is read-only except the directories the fuzzer
// itself writes (corpus, artifacts), and a fresh tmpfs without device nodes
// for the work tree. An escape then either lands in the work tree, where the
// fingerprint sees it, or fails on a read-only file system.
#pragma once

#include <string>
#include <vector>

namespace fuzz_sandbox {

// Enters the sandbox, mounting the work tmpfs at work_dir (which must
// exist). False, with the reason on standard error, when the process lacks
// the privilege or the kernel refuses; the caller then goes on without it.
bool Enter(const std::string& work_dir, const std::vector<std::string>& writable);

}  // namespace fuzz_sandbox
