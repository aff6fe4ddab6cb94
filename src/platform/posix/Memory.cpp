// POSIX memory return: glibc keeps freed heap memory for reuse until it is trimmed.
#include "platform/Memory.h"

#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace plat {

void ReturnFreeMemory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

}  // namespace plat
