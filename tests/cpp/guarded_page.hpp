// Inputs placed so that their last byte is the last readable one, before a page that cannot
// be read: a load past the end of an input faults.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

class GuardedPage {
public:
    GuardedPage() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        void* m =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(m, MAP_FAILED);
        base_ = static_cast<char*>(m);
        EXPECT_EQ(mprotect(base_ + page_, page_, PROT_NONE), 0);
    }
    ~GuardedPage() {
        munmap(base_, 2 * page_);
    }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;

    template <class T>
    const T* place(const T* units, size_t n) {
        char* p = base_ + page_ - n * sizeof(T);
        std::memcpy(p, units, n * sizeof(T));
        return reinterpret_cast<const T*>(p);
    }
    template <class T>
    const T* place(const std::vector<T>& units) {
        return place(units.data(), units.size());
    }
    const char* place(const std::string& s) {
        return place(s.data(), s.size());
    }

private:
    size_t page_;
    char* base_;
};
