#include "block_buffers.h"

#include <cstdlib>

#include "CopyMemoryQuenda.h"
#include "settings.h"

namespace quenda {

const std::uint64_t ZeroWord = 0;

namespace {

struct BufferSlot {
    std::byte* BlockBuffers::*member;
    std::int64_t bytes;
};

// Start-up order: the six large buffers, the kernel, then the overlap.
constexpr BufferSlot kSlots[8] = {
    {&BlockBuffers::WorkBufferA, BlockBufferBytes},
    {&BlockBuffers::WorkBufferB, BlockBufferBytes},
    {&BlockBuffers::FrontBuffer, BlockBufferBytes},
    {&BlockBuffers::BackBuffer, BlockBufferBytes},
    {&BlockBuffers::ConvInputBuffer, BlockBufferBytes},
    {&BlockBuffers::ConvOutputBuffer, BlockBufferBytes},
    {&BlockBuffers::KernelBuffer, PlayerSettings.OverlapBytes},
    {&BlockBuffers::OverlapBuffer, PlayerSettings.OverlapBytes},
};

// Page-aligned, so vector loads and streaming stores never split a page at the start.
constexpr std::size_t kAlignment = 4096;

}  // namespace

BlockMemory::BlockMemory()
{
    for (int i = 0; i < 8; ++i) {
        void* p = nullptr;
        if (posix_memalign(&p, kAlignment, static_cast<std::size_t>(kSlots[i].bytes)) != 0) {
            for (int j = 0; j < i; ++j) std::free(owned_[j]);
            throw AllocationError("I can't allocate sample memory.");
        }
        owned_[i] = static_cast<std::byte*>(p);
        buffers_.*kSlots[i].member = owned_[i];
    }
}

BlockMemory::~BlockMemory()
{
    for (std::byte* p : owned_) std::free(p);
}

void BlockMemory::clearAll()
{
    for (const BufferSlot& slot : kSlots) {
        ClearMemoryQuenda(PlayerSettings.LibraryMode, slot.bytes, &ZeroWord, buffers_.*slot.member);
    }
}

}  // namespace quenda
