// The player's start-up: settings, sample memory, and the ways the process ends.
#include <cstdio>

#include "pipeline/block_buffers.h"

int main()
{
    try {
        quenda::BlockMemory memory;
        memory.clearAll();
    } catch (const quenda::AllocationError& e) {
        std::fprintf(stderr, "quenda: %s\n", e.what());
        return 0;
    }
    return 0;
}
