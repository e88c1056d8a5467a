// The eight block buffers: their sizes, that they do not overlap, and that one
// clear leaves all of them zero.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdint>
#include <cstring>

#include "pipeline/block_buffers.h"

namespace {

using quenda::BlockBuffers;

struct Expected {
    std::byte* BlockBuffers::*member;
    std::size_t bytes;
    const char* name;
};

// 2 x 31,752,000 + 524,288 for the six large buffers; 524,288 for the other two.
constexpr Expected kBuffers[8] = {
    {&BlockBuffers::WorkBufferA, 64028288, "WorkBufferA"},
    {&BlockBuffers::WorkBufferB, 64028288, "WorkBufferB"},
    {&BlockBuffers::FrontBuffer, 64028288, "FrontBuffer"},
    {&BlockBuffers::BackBuffer, 64028288, "BackBuffer"},
    {&BlockBuffers::ConvInputBuffer, 64028288, "ConvInputBuffer"},
    {&BlockBuffers::ConvOutputBuffer, 64028288, "ConvOutputBuffer"},
    {&BlockBuffers::KernelBuffer, 524288, "KernelBuffer"},
    {&BlockBuffers::OverlapBuffer, 524288, "OverlapBuffer"},
};

bool AllZero(const std::byte* p, std::size_t bytes)
{
    static const std::byte zeros[4096] = {};
    for (std::size_t off = 0; off < bytes; off += sizeof zeros) {
        const std::size_t n = bytes - off < sizeof zeros ? bytes - off : sizeof zeros;
        if (std::memcmp(p + off, zeros, n) != 0) return false;
    }
    return true;
}

TEST(BlockMemory, EightSeparateBuffersAllZeroAfterOneClear)
{
    quenda::BlockMemory memory;
    BlockBuffers& buffers = memory.buffers();

    for (const Expected& e : kBuffers) {
        SCOPED_TRACE(e.name);
        std::byte* p = buffers.*e.member;
        ASSERT_NE(p, nullptr);
        EXPECT_GE(malloc_usable_size(p), e.bytes);
        for (const Expected& other : kBuffers) {
            const std::byte* q = buffers.*other.member;
            if (q != p) {
                EXPECT_TRUE(p + e.bytes <= q || q + other.bytes <= p) << "overlaps " << other.name;
            }
        }
        // Dirty the first, a middle and the last unit: the clear must reach the ends.
        for (std::size_t off : {std::size_t{0}, e.bytes / 2 + 3, e.bytes - 8}) std::memset(p + off, 0xa5, 8);
    }

    memory.clearAll();

    for (const Expected& e : kBuffers) {
        EXPECT_TRUE(AllZero(buffers.*e.member, e.bytes)) << e.name;
    }
}

}  // namespace
