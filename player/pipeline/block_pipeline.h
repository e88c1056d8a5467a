// The block pipeline as the player drives it: the pump thread, the kernel
// thread and the output callback over the eight block buffers.
//
// The pump reads one block of decoded input, scales every other frame,
// interleaves each input frame with a FIR-filtered frame (four convolution
// workers, one per quarter), runs the biquad over the doubled block and copies
// it into BackBuffer. The output callback plays FrontBuffer and, at its end,
// swaps onto the next block once that block has been completely handed off;
// until then it plays silence. So a block may come late, but it is never cut,
// overwritten while it plays, or lost.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "block_buffers.h"
#include "platform/decoder.h"
#include "platform/output.h"
#include "platform/threads.h"

namespace quenda {

// Where the time of one block went, in seconds of wall clock.
struct BlockTimings {
    double read = 0;             // pulling the block from the decoder, its clears included
    double gain = 0;             // ApplyGain
    double transfer = 0;         // TransMemoryOstrel into ConvInputBuffer
    double workers = 0;          // the four workers, start to last join
    double convolution = 0;      // FirConvolve, the slowest worker's share
    double interleave = 0;       // the 8-byte moves, the slowest worker's share
    double biquad = 0;           // BiquadLowPass over the doubled block
    double clearsAndCopies = 0;  // the pump's own bulk clears and copies, the hand-off copy included
    // Everything after the read up to the hand-off: gain to clears.
    double processing() const { return gain + transfer + workers + biquad + clearsAndCopies; }
};

class BlockPipeline {
public:
    struct Hooks {
        // Bytes of the current block read so far, and the block size. Called on
        // the pump thread after every read.
        std::function<void(std::int64_t got, std::int64_t total)> progress;
        // The stream has failed or ended and its last block has been handed off.
        // Called once, on the pump thread.
        std::function<void()> streamEnded;
    };

    // Points in a block's cycle where a test or a benchmark may look at the
    // buffers; the hook runs on the pump thread and the pump waits for it.
    enum class Stage {
        Transferred,  // ConvInputBuffer holds the scaled block; OverlapBuffer the unscaled tail
        Interleaved,  // WorkBufferA holds the doubled block, before the biquad
        HandedOff,    // BackBuffer holds the finished block; lastTimings() is complete
    };

    struct Options {
        // When not empty, these coefficients are the kernel and their count the
        // tap count, as if the kernel thread had run; startKernel is then not
        // called. For tests and benchmarks.
        std::vector<double> kernel;
        // Runs on the kernel thread before it designs the kernel (tests hold it back).
        std::function<void()> kernelThreadStarted;
        // See Stage.
        std::function<void(Stage)> stageReached;
    };

    // The buffers must have been cleared; the pipeline owns their contents
    // until it is destroyed. Start, stop and destroy it from one thread.
    BlockPipeline(BlockBuffers& buffers, Hooks hooks, Options options = {});
    ~BlockPipeline();  // stops everything still running
    BlockPipeline(const BlockPipeline&) = delete;
    BlockPipeline& operator=(const BlockPipeline&) = delete;

    // Starts the pump thread reading `source` (which must outlive the pipeline)
    // whose rate the decoder reported as `reportedRate`. Once per pipeline.
    void startPump(platform::SampleSource& source, float reportedRate);

    // Starts the kernel thread for half-length N (the player offers 256 …
    // 16384; anything from 1 to 32767 fits KernelBuffer). Once per pipeline.
    // The pump does not convolve its first block before this thread has ended.
    void startKernel(std::int64_t halfLength);

    // Whether the kernel thread still runs; polled by the main thread.
    bool kernelRunning() const;

    // The output callback and its user value, for the exclusive output. It
    // never waits and takes no lock; it is meant for one output thread at a time.
    static std::uint32_t OutputCallback(void* request, std::uint32_t length, void* user);
    void* callbackUser() { return this; }

    // Stops the pump (and the kernel thread) promptly wherever it is: reading,
    // processing or waiting. Joins them, so it returns once they have ended and
    // hold nothing. Idempotent. From a hook on the pump thread it only asks.
    void stopPump();

    // Times the output reached the end of its block before the next block had
    // been handed off, and played silence while waiting for it.
    std::int64_t lateHandoffs() const;

    // --- Observers, for the offline renderer and tests. ---

    // Whether a finished block waits in BackBuffer for the callback to start it.
    bool nextBlockReady() const { return backReady.load(std::memory_order_acquire); }
    // The number of input frames the stream delivered, once its end has been
    // seen (a partial last frame counts as one); -1 before.
    std::int64_t totalFrames() const { return totalFrames_.load(std::memory_order_acquire); }
    // The pump has handed off the stream's last block and ended.
    bool streamFinished() const { return streamFinished_.load(std::memory_order_acquire); }
    // Buffer swaps of the callback so far: one release of blockSemaphore each.
    std::int64_t swaps() const { return swaps_.load(std::memory_order_relaxed); }
    // Timings of the block last handed off; read from the HandedOff stage hook
    // or after the pump has ended.
    const BlockTimings& lastTimings() const { return timings_; }
    // Seconds the kernel thread ran, once it has ended.
    double kernelSeconds() const { return kernelSeconds_; }

    // One quarter of the current block: FirConvolve over that quarter of
    // ConvInputBuffer, then the input and filtered frames interleaved into
    // WorkBufferA. The pump runs four per block on threads of their own, with
    // the codes 2, 4, 8 and 16 for quarters 0 to 3; any other code returns at
    // once without touching anything. Returns 0.
    std::int64_t ConvolutionWorker(std::uint64_t quarterCode);

private:
    // What one worker reads, written by the pump just before it starts it.
    struct QuarterParams {
        const std::byte* input = nullptr;
        const double* kernel = nullptr;
        std::byte* output = nullptr;
        std::uint64_t taps = 0;
        std::uint64_t byteCount = 0;
        double convolutionSeconds = 0;  // written by the worker
        double interleaveSeconds = 0;
    };

    void BlockPumpThread();
    void KernelThread();
    bool readBlock(std::int64_t& got, bool& ended);
    bool processBlock();
    bool waitForKernel();
    bool waitForSwap();
    void switchBuffers();
    bool stopping() const { return stop_.load(std::memory_order_relaxed); }

    BlockBuffers& buffers_;
    Hooks hooks_;
    Options options_;
    platform::SampleSource* source_ = nullptr;
    float reportedRate_ = 0;

    // Kernel: written by the kernel thread (or the constructor), read by the
    // pump once kernelFinished has been taken.
    std::int64_t kernelHalfLength = 0;  // N, then the tap count 2N + 1
    platform::Semaphore kernelFinished{0};
    bool kernelTaken_ = false;  // pump only: kernelFinished has been taken
    std::atomic<bool> kernelRunning_{false};
    double kernelSeconds_ = 0;

    QuarterParams WorkerParams[4];

    // Output side. playPosition and playEnd belong to the callback alone;
    // FrontBuffer and BackBuffer are exchanged only by the callback, before it
    // releases blockSemaphore.
    std::byte* playPosition = nullptr;
    std::byte* playEnd = nullptr;
    bool lateCounted_ = false;  // callback only: this wait has been counted
    platform::Semaphore blockSemaphore{0};
    std::atomic<bool> backReady{false};  // BackBuffer holds a complete block
    std::atomic<std::int64_t> lateHandoffs_{0};
    std::atomic<std::int64_t> swaps_{0};

    std::atomic<std::int64_t> totalFrames_{-1};
    std::atomic<bool> streamFinished_{false};
    std::int64_t decodedBytes_ = 0;  // pump only
    BlockTimings timings_;           // pump only

    std::atomic<bool> stop_{false};
    std::thread pump_;
    std::thread kernel_;
};

}  // namespace quenda
