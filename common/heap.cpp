#include "heap.h"

#include <cstdlib>  // first: it says which C library this is

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace heap {

#if defined(__GLIBC__)
namespace {

// Every thread allocates from the main arena: malloc_trim gives back the free end of the main
// arena only, and the event loop's own arena kept several MB after each large event.
const bool oneArena = mallopt(M_ARENA_MAX, 1) == 1;

}  // namespace
#endif

void Release() {
#if defined(__GLIBC__)
    (void)oneArena;
    malloc_trim(0);
#endif
}

}  // namespace heap
