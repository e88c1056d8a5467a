// Bandwidth of the memory library's three routines on block-buffer-sized
// ranges, side by side with the C library's memset and memcpy.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "CopyMemoryQuenda.h"

namespace {

// One block buffer: a processed block at twice the input rate plus the spare room.
constexpr std::int64_t kBytes = 64028288;

const std::uint64_t kZero = 0;

// Two page-aligned buffers, touched once so that page faults stay out of the timing.
struct Buffers {
    unsigned char* source;
    unsigned char* destination;

    Buffers()
    {
        source = allocate();
        destination = allocate();
        for (std::int64_t i = 0; i < kBytes; ++i) source[i] = static_cast<unsigned char>(i * 131 + 7);
        std::memset(destination, 0x5a, kBytes);
    }

    static unsigned char* allocate()
    {
        void* p = nullptr;
        if (posix_memalign(&p, 4096, kBytes) != 0) throw std::bad_alloc();
        return static_cast<unsigned char*>(p);
    }
};

Buffers& buffers()
{
    static Buffers b;
    return b;
}

using Routine = std::int64_t (*)(std::uint64_t, std::int64_t, const void*, void*);

void Library(benchmark::State& state, Routine routine, bool fromZero)
{
    Buffers& b = buffers();
    const void* source = fromZero ? static_cast<const void*>(&kZero) : b.source;
    for (auto _ : state) {
        benchmark::DoNotOptimize(routine(0, kBytes, source, b.destination));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void Memset(benchmark::State& state)
{
    Buffers& b = buffers();
    for (auto _ : state) {
        std::memset(b.destination, 0, kBytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void Memcpy(benchmark::State& state)
{
    Buffers& b = buffers();
    for (auto _ : state) {
        std::memcpy(b.destination, b.source, kBytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

// Each routine next to the C library routine it stands for. Rates use CPU
// time, which other processes on a shared machine disturb less than wall time.
BENCHMARK_CAPTURE(Library, ClearMemoryQuenda, &ClearMemoryQuenda, true)->Unit(benchmark::kMillisecond);
BENCHMARK(Memset)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Library, CopyMemoryQuenda, &CopyMemoryQuenda, false)->Unit(benchmark::kMillisecond);
BENCHMARK(Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Library, TransMemoryOstrel, &TransMemoryOstrel, false)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
