// Replaces the four plain forms of operator new for the whole test program.
// Outside a failure scope each one forwards to the definition it replaces
// (the C++ runtime's, or a sanitizer's), so the sanitizers keep seeing every
// allocation and its matching delete.
#include "tests/native/allocation_failure.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>
#include <new>

// The names looked up below are those of the x86-64 forms (size_t is
// "unsigned long"); the native build is the only one that uses this file.
static_assert(sizeof(std::size_t) == 8 && sizeof(unsigned long) == 8, "mangled names assume x86-64");

namespace {

thread_local bool t_failing = false;
thread_local int t_refused = 0;

using Allocate = void* (*)(std::size_t);
using AllocateNoThrow = void* (*)(std::size_t, const std::nothrow_t&);

template <class Function>
Function Next(const char* mangled_name) {
    void* found = dlsym(RTLD_NEXT, mangled_name);
    if (found == nullptr) std::abort();
    return reinterpret_cast<Function>(found);
}

bool Refuse() {
    if (!t_failing) return false;
    ++t_refused;
    return true;
}

}  // namespace

AllocationFailureScope::AllocationFailureScope() {
    t_failing = true;
    t_refused = 0;
}

AllocationFailureScope::~AllocationFailureScope() { t_failing = false; }

int AllocationFailureScope::refused() const { return t_refused; }

void* operator new(std::size_t size) {
    static const Allocate next = Next<Allocate>("_Znwm");
    if (Refuse()) throw std::bad_alloc();
    return next(size);
}

void* operator new[](std::size_t size) {
    static const Allocate next = Next<Allocate>("_Znam");
    if (Refuse()) throw std::bad_alloc();
    return next(size);
}

void* operator new(std::size_t size, const std::nothrow_t& tag) noexcept {
    static const AllocateNoThrow next = Next<AllocateNoThrow>("_ZnwmRKSt9nothrow_t");
    if (Refuse()) return nullptr;
    return next(size, tag);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    static const AllocateNoThrow next = Next<AllocateNoThrow>("_ZnamRKSt9nothrow_t");
    if (Refuse()) return nullptr;
    return next(size, tag);
}
