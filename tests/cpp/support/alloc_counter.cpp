// Replacement global allocation functions for the test binary: plain malloc
// and free, plus a per-thread count while an AllocationCounter is active.
#include "support/alloc_counter.hpp"

#include <cstdlib>
#include <new>

namespace {

// Constant-initialised, so usable from operator new at any time, even while
// a thread is being set up.
thread_local bool t_counting = false;
thread_local std::size_t t_count = 0;

void* allocate(std::size_t n) noexcept {
    if (t_counting) ++t_count;
    return std::malloc(n == 0 ? 1 : n);
}

void* allocate_aligned(std::size_t n, std::align_val_t al) noexcept {
    if (t_counting) ++t_count;
    const auto a = static_cast<std::size_t>(al);
    const std::size_t rounded = ((n == 0 ? 1 : n) + a - 1) / a * a;
    return std::aligned_alloc(a, rounded);
}

}  // namespace

namespace oculane::testing {
AllocationCounter::AllocationCounter() {
    t_count = 0;
    t_counting = true;
}
AllocationCounter::~AllocationCounter() { t_counting = false; }
std::size_t AllocationCounter::count() const { return t_count; }
}  // namespace oculane::testing

void* operator new(std::size_t n) {
    if (void* p = allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t al) {
    if (void* p = allocate_aligned(n, al)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t al) {
    if (void* p = allocate_aligned(n, al)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, std::align_val_t al, const std::nothrow_t&) noexcept {
    return allocate_aligned(n, al);
}
void* operator new[](std::size_t n, std::align_val_t al, const std::nothrow_t&) noexcept {
    return allocate_aligned(n, al);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
