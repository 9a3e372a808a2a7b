#include "driver/driver.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char** argv)
{
#if defined(__GLIBC__)
    // A run allocates and frees its scene, record and buffers in large waves: memory freed
    // is kept for the next wave instead of being returned and faulted in again, and large
    // blocks come from the heap rather than from a fresh mapping each time.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_TOP_PAD, 64 << 20);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
#endif
    return script::run_command_line(argc, argv);
}
