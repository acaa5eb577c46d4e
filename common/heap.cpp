#include "heap.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace heap {

void Release() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace heap
