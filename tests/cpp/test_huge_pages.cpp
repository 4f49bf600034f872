// The huge-page hint of wrenfold::common: which mappings it flags, and that it leaves a
// mapping whole, so that realloc can still grow it in place.
#include <wrenfold/_cpp/common/huge_pages.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

using wrenfold::common::advise_huge_pages;
using wrenfold::common::kFreshlyMapped;

struct Mapping {
    uintptr_t start = 0, end = 0;
    std::string flags;  // VmFlags
};

// The mapping of this process that holds `p`, as /proc/self/smaps lists it.
Mapping mapping_of(const void* p) {
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<uintptr_t>(p);
    Mapping m;
    bool found = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long start, end;
        char dash;
        if (line.find("VmFlags:") == 0) {
            if (found) {
                m.flags = line.substr(8);
                return m;
            }
        } else if (std::sscanf(line.c_str(), "%lx%c%lx", &start, &dash, &end) == 3 && dash == '-') {
            found = start <= at && at < end;
            m = {start, end, ""};
        }
    }
    ADD_FAILURE() << "no mapping holds " << p;
    return {};
}

bool huge_pages_offered() {
    std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string text((std::istreambuf_iterator<char>(mode)), std::istreambuf_iterator<char>());
    return !text.empty() && text.find("[never]") == std::string::npos;
}

bool flagged(const Mapping& m) {
    return (" " + m.flags + " ").find(" hg ") != std::string::npos;
}

TEST(HugePages, AFreshlyMappedBlockIsFlaggedWholeAndStillGrows) {
    if (!huge_pages_offered()) {
        GTEST_SKIP() << "transparent huge pages are off here";
    }
    // Odd sizes and offsets: the hint must round out to the pages the block is in.
    for (size_t size : {kFreshlyMapped + 40, kFreshlyMapped + 4095, kFreshlyMapped + 12345}) {
        char* block = static_cast<char*>(std::malloc(size));
        ASSERT_NE(block, nullptr);
        advise_huge_pages(block + 40, size - 40);
        const Mapping m = mapping_of(block);
        EXPECT_TRUE(flagged(m)) << m.flags;
        EXPECT_LE(m.start, reinterpret_cast<uintptr_t>(block));
        EXPECT_GE(m.end, reinterpret_cast<uintptr_t>(block) + size) << "the mapping was split";
        std::memset(block, 7, size);
        char* grown = static_cast<char*>(std::realloc(block, 2 * size));
        ASSERT_NE(grown, nullptr);
        EXPECT_EQ(grown[size - 1], 7);
        EXPECT_TRUE(flagged(mapping_of(grown)));
        std::free(grown);
    }
}

TEST(HugePages, SmallerBlocksAreLeftAlone) {
    const size_t size = kFreshlyMapped - 1;
    void* block = std::malloc(size);
    ASSERT_NE(block, nullptr);
    advise_huge_pages(block, size);
    EXPECT_FALSE(flagged(mapping_of(block)));
    std::free(block);
}

}  // namespace
