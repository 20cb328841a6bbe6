#pragma once

// Replaces the global operator new and delete of a test program so that an
// allocation can be made to fail: set g_fail_countdown to n and the
// allocation after n more that succeed, on the same thread, throws
// std::bad_alloc. Include it in exactly one source file of a program, and
// build that program on its own: the replacement holds for everything in it.

#include <cstdlib>
#include <new>

namespace {

// -1: allocations succeed. n >= 0: the allocation after n more succeeds fails.
thread_local long g_fail_countdown = -1;

void* allocate_or_fail(std::size_t size) {
    if (g_fail_countdown == 0) {
        g_fail_countdown = -1;
        throw std::bad_alloc();
    }
    if (g_fail_countdown > 0) {
        --g_fail_countdown;
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (!p) {
        throw std::bad_alloc();
    }
    return p;
}

}  // namespace

void* operator new(std::size_t size) { return allocate_or_fail(size); }
void* operator new[](std::size_t size) { return allocate_or_fail(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate_or_fail(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate_or_fail(size);
    } catch (...) {
        return nullptr;
    }
}
// Freed as allocated, with free (a sanitizer's own operator delete would see
// a block it never handed out). GCC cannot see that both sides are replaced.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop
