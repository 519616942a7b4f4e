// The scratch data set: a 256 MiB file, 2,000 files of 4 KiB, directories
// of 2,000 and 20,000 empty files, and an empty directory to restore into.
// Built once under the scratch directory and reused while its marker says
// it is complete.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

constexpr uint64_t kBigFileSize = 256ull << 20;
constexpr uint64_t kSparseData = 4ull << 20;
constexpr int kSmallFiles = 2000;
constexpr uint32_t kSmallFileSize = 4096;
constexpr int kListSmall = 2000;
constexpr int kListLarge = 20000;

struct Dataset {
    std::string root;          // the scratch directory
    std::string data;          // exported read-only as DATA
    std::string restore;       // exported writable as RESTORE
    std::string big_name = "big.bin";
    std::string sparse_name = "sparse.bin";  // kBigFileSize long, kSparseData of it data
    std::string small_dir = "small";
    std::string list_small_dir = "list2k";
    std::string list_large_dir = "list20k";
};

// Builds what is missing; prints what it does.
Dataset prepare_dataset(const std::string& root);

// Reads every data file and lists every directory once, so that the runs
// find everything in the page cache.
void warm_page_cache(const Dataset& d);

}  // namespace bench
