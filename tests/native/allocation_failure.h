// Memory exhaustion on demand, natively: while a scope lives, every
// allocation through operator new on the calling thread fails (the throwing
// forms throw std::bad_alloc, the nothrow forms return null), as in a 32-bit
// editor whose address space has run out. Other threads are not affected.
#pragma once

class AllocationFailureScope {
public:
    AllocationFailureScope();
    ~AllocationFailureScope();
    AllocationFailureScope(const AllocationFailureScope&) = delete;
    AllocationFailureScope& operator=(const AllocationFailureScope&) = delete;

    // Allocations refused on this thread since the scope began.
    int refused() const;
};
