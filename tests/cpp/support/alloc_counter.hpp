#pragma once
// Counts heap allocations (every form of operator new) made by the current
// thread while an AllocationCounter is alive. The test binary replaces the
// global operator new for this; threads and tests without a counter are not
// affected beyond a thread-local check.
#include <cstddef>

namespace oculane::testing {

class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    std::size_t count() const;
};

}  // namespace oculane::testing
