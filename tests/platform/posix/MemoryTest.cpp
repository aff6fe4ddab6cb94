// Freed heap memory goes back to the system when asked.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Memory.h"

#include <unistd.h>

namespace {

long ResidentMiB() {
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024) / 1024;
}

// Many small blocks below one that stays: the allocator cannot shrink its
// heap from the top, so only a trim gives the freed pages back.
TEST(ReturnFreeMemory, GivesBackWhatWasFreedBelowABlockInUse) {
#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "only glibc's own allocator keeps freed memory until it is trimmed";
#endif
    std::vector<void*> blocks;
    for (int i = 0; i < 64 * 1024; ++i) {
        blocks.push_back(std::malloc(1000));
        std::memset(blocks.back(), 1, 1000);
    }
    // The last block came from the top of the heap: it stays.
    void* kept = blocks.back();
    blocks.pop_back();
    for (void* block : blocks) std::free(block);
    const long before = ResidentMiB();
    plat::ReturnFreeMemory();
    const long after = ResidentMiB();
    std::free(kept);
    EXPECT_LT(after, before - 32) << "resident " << before << " MiB before, " << after << " MiB after";
}

}  // namespace
