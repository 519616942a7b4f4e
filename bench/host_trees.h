// Trees shaped like what an administrator backs up: a generated host-like
// tree (many small files, a long tail of large ones, a few hundred
// directories, always the same from its fixed seed) and a copy of /etc.
// Built once under the scratch directory, each exported as a DLE of its
// own.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// The generated tree: kHostFiles files in kHostTopDirs x kHostSubDirs
// directories below the top ones; sizes log-normal around a median of
// about 3 KB, capped at 4 MiB.
constexpr int kHostFiles = 20000;
constexpr int kHostTopDirs = 20;
constexpr int kHostSubDirs = 20;

struct TreeFacts {
    std::string path;
    uint64_t objects = 0;  // directories (the top one included), files and links
    uint64_t bytes = 0;    // data bytes of the regular files
};

struct HostTrees {
    TreeFacts host;
    TreeFacts etc;
};

// Builds what is missing below root/trees and counts both trees.
HostTrees prepare_host_trees(const std::string& root);

// Reads every file of a tree once, so that the runs find it in the page cache.
void warm_tree(const TreeFacts& tree);

}  // namespace bench
