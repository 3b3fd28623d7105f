// Memory hints for large buffers.
#pragma once

#include <cstddef>

// Asks the system to back the whole 2 MB pages inside [p, p + bytes) with huge pages, so
// that the first write to a fresh buffer of picture size costs a few hundred page faults
// instead of tens of thousands. Only a hint: nothing changes where it is not supported.
void adviseHugePages(const void* p, size_t bytes);
