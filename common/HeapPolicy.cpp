#include "common/HeapPolicy.h"

#include <cstdlib>  // defines __GLIBC__ where glibc is the C library
#if defined(__GLIBC__)
#include <malloc.h>
#endif

void ReturnLargeBlocksToTheSystem() {
#if defined(__GLIBC__)
    // Setting the threshold also turns its adjustment off.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    // That also holds the trim threshold at its 128 KiB start.
    mallopt(M_TRIM_THRESHOLD, 4 * 1024 * 1024);
#endif
}
