// How the C library's heap gives memory back to the system.
#pragma once

#include <malloc.h>

namespace zvp {

// Printing a page frees and reallocates the same few megabytes (content streams, glyph tables);
// glibc's default would return the top of the heap to the kernel after each page and take it back
// for the next, and every such shrink costs a TLB flush on every core. A few megabytes of free
// heap kept at hand is cheap against that.
inline void keep_heap_between_pages() {
    mallopt(M_TRIM_THRESHOLD, 8 << 20);
    mallopt(M_TOP_PAD, 1 << 20);
}

} // namespace zvp
