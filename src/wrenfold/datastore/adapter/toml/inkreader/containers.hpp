// The reader's containers, on an allocator of their own. A C++ allocation failure unwinds
// through the parser as std::bad_alloc, which the entry points turn into MemoryError. A build
// with WRENFOLD_FAULT_INJECTION (the tests' sanitizer build) can make one of these allocations
// fail on purpose (inkreader._fail_allocation); elsewhere this is std::allocator itself.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace wrenfold::inkreader {

#ifdef WRENFOLD_FAULT_INJECTION
// The allocation from now that fails: 1 the next one, 0 none.
inline long fail_countdown = 0;
#endif

template <class T>
struct Allocator {
    using value_type = T;

    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}

    T* allocate(size_t n) {
#ifdef WRENFOLD_FAULT_INJECTION
        if (fail_countdown > 0 && --fail_countdown == 0) {
            throw std::bad_alloc();
        }
#endif
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, size_t n) noexcept {
        std::allocator<T>().deallocate(p, n);
    }

    template <class U>
    bool operator==(const Allocator<U>&) const noexcept {
        return true;
    }
};

using String = std::basic_string<char, std::char_traits<char>, Allocator<char>>;
template <class T>
using Vector = std::vector<T, Allocator<T>>;
template <class K, class V>
using Map =
    std::unordered_map<K, V, std::hash<K>, std::equal_to<K>, Allocator<std::pair<const K, V>>>;

}  // namespace wrenfold::inkreader
