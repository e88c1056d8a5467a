// The eight block buffers: all of the player's sample memory, about 367 MiB,
// taken once at start-up and kept until the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace quenda {

// Addresses of the eight buffers. Plain data: the pipeline exchanges the work
// and output buffer addresses as blocks move through it.
struct BlockBuffers {
    std::byte* WorkBufferA = nullptr;       // block being assembled and processed
    std::byte* WorkBufferB = nullptr;       // exchanged with WorkBufferA after each block
    std::byte* FrontBuffer = nullptr;       // finished block being played
    std::byte* BackBuffer = nullptr;        // finished block waiting to be played
    std::byte* ConvInputBuffer = nullptr;   // input of the FIR convolution
    std::byte* ConvOutputBuffer = nullptr;  // output of the FIR convolution
    std::byte* KernelBuffer = nullptr;      // FIR coefficients, 65536 doubles at most
    std::byte* OverlapBuffer = nullptr;     // tail of the previous block's input
};

// Raised when the sample memory cannot be had.
class AllocationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Owns the eight buffers. Allocation takes them in start-up order, uncleared;
// clearAll() zero-fills every one through the memory library.
class BlockMemory {
public:
    BlockMemory();  // throws AllocationError
    ~BlockMemory();
    BlockMemory(const BlockMemory&) = delete;
    BlockMemory& operator=(const BlockMemory&) = delete;

    BlockBuffers& buffers() { return buffers_; }

    // Zero-fills the eight buffers over their whole sizes, in start-up order,
    // each with one ClearMemoryQuenda call whose fill value is ZeroWord.
    void clearAll();

private:
    BlockBuffers buffers_;
    std::byte* owned_[8] = {};  // the allocations, whatever the addresses are swapped to
};

}  // namespace quenda
