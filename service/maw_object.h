// A base class whose objects live in trellis blocks, so that the request
// table shares the service's allocator (and its fault switch).
#pragma once

#include <cstddef>

#include "trellis.h"

class CMawObject {
public:
    // Null when the allocation fails; the new-expression then yields null.
    static void *operator new(std::size_t size) noexcept { return maw_malloc(size); }
    static void operator delete(void *block) noexcept { maw_free(block); }
};
