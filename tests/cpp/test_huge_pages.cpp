// The huge-page hint of wrenfold::common: which blocks it flags, and that it leaves their
// mapping whole, so that realloc can still grow it in place.
#include <wrenfold/_cpp/common/huge_pages.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>

namespace {

using wrenfold::common::advise_huge_pages;
using wrenfold::common::kFreshlyMapped;

// Whether the mapping of this process that holds `p` (in /proc/self/smaps) is flagged for
// huge pages and holds the `size` bytes from `p` whole.
std::pair<bool, bool> flagged_and_whole(const char* p, size_t size) {
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<uintptr_t>(p);
    bool holds = false, whole = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long start, end;
        char dash;
        if (holds && line.rfind("VmFlags:", 0) == 0) {
            return {(line + " ").find(" hg ") != std::string::npos, whole};
        }
        if (std::sscanf(line.c_str(), "%lx%c%lx", &start, &dash, &end) == 3 && dash == '-') {
            holds = start <= at && at < end;
            whole = end >= at + size;
        }
    }
    ADD_FAILURE() << "no mapping holds " << static_cast<const void*>(p);
    return {false, false};
}

TEST(HugePages, BlocksMappedAfreshAreFlaggedWholeAndStillGrow) {
    std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string offered;
    if (!std::getline(mode, offered) || offered.find("[never]") != std::string::npos) {
        GTEST_SKIP() << "transparent huge pages are off here";
    }
    // Sizes and offsets off the pages: the hint must round out to the pages the block is in.
    for (size_t size : {kFreshlyMapped + 40, kFreshlyMapped + 4095, kFreshlyMapped + 12345}) {
        char* block = static_cast<char*>(std::malloc(size));
        ASSERT_NE(block, nullptr);
        advise_huge_pages(block + 40, size - 40);
        EXPECT_EQ(flagged_and_whole(block, size), std::make_pair(true, true));
        std::memset(block, 7, size);
        char* grown = static_cast<char*>(std::realloc(block, 2 * size));
        ASSERT_NE(grown, nullptr);
        EXPECT_EQ(grown[size - 1], 7);
        EXPECT_EQ(flagged_and_whole(grown, 2 * size), std::make_pair(true, true));
        std::free(grown);
    }
    // A smaller block may share its mapping with others: it is left alone.
    char* small = static_cast<char*>(std::malloc(kFreshlyMapped - 1));
    ASSERT_NE(small, nullptr);
    advise_huge_pages(small, kFreshlyMapped - 1);
    EXPECT_FALSE(flagged_and_whole(small, 1).first);
    std::free(small);
}

}  // namespace
