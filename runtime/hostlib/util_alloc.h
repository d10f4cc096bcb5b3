// Allocation that cannot fail.
#pragma once

#include <cstddef>

// Zero-filled memory of `size` bytes (a valid, distinct pointer also for 0),
// released with free(). Running out of memory stops the process through Panic.
void *UtilSafeMalloc0(size_t size);
