#include "block_pipeline.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <system_error>

#include "CopyMemoryQuenda.h"
#include "biquad.h"
#include "fir.h"
#include "gain.h"
#include "settings.h"
#include "sinc_kernel.h"

namespace quenda {

namespace {

constexpr std::uint64_t kMode = PlayerSettings.LibraryMode;
constexpr std::int64_t kBlockBytes = PlayerSettings.BlockBytes;
constexpr std::int64_t kOverlapBytes = PlayerSettings.OverlapBytes;
constexpr std::int64_t kQuarterBytes = PlayerSettings.QuarterBytes;
constexpr std::int64_t kPlayBytes = 2 * kBlockBytes;  // the played part of an output buffer
constexpr std::int64_t kMaxTaps = PlayerSettings.OverlapBytes / 8;

// How long a wait lasts before it looks at the stop request again.
constexpr std::chrono::milliseconds kStopPoll{20};

// Output frames a worker or the kernel thread computes between two looks at
// the stop request. Every output frame of FirConvolve depends only on its own
// input window, so splitting a quarter into runs changes no bit; with the
// longest kernel a run is a few tens of milliseconds.
constexpr std::uint64_t kRunFrames = 2048;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Clear(std::byte* destination, std::int64_t length)
{
    ClearMemoryQuenda(kMode, length, &ZeroWord, destination);
}

void Copy(const std::byte* source, std::byte* destination, std::int64_t length)
{
    CopyMemoryQuenda(kMode, length, source, destination);
}

// FirConvolve over `byteCount` bytes of output in runs, checking `stop`
// between runs. False when stopped before the end.
bool ConvolveInRuns(const std::byte* input, const double* kernel, std::byte* output, std::uint64_t taps,
                    std::uint64_t byteCount, const std::atomic<bool>& stop)
{
    const std::uint64_t frames = byteCount / 8;
    for (std::uint64_t done = 0; done < frames; done += kRunFrames) {
        if (stop.load(std::memory_order_relaxed)) return false;
        const std::uint64_t run = std::min(kRunFrames, frames - done);
        FirConvolve(input + 8 * done, kernel, output + 8 * done, taps, 8 * run);
    }
    return true;
}

}  // namespace

BlockPipeline::BlockPipeline(BlockBuffers& buffers, Hooks hooks, Options options)
    : buffers_(buffers), hooks_(std::move(hooks)), options_(std::move(options))
{
    playPosition = buffers_.FrontBuffer;
    playEnd = buffers_.FrontBuffer + kPlayBytes;
    if (!options_.kernel.empty()) {
        if (static_cast<std::int64_t>(options_.kernel.size()) > kMaxTaps) {
            throw std::invalid_argument("A kernel longer than 65536 taps does not fit KernelBuffer.");
        }
        Copy(reinterpret_cast<const std::byte*>(options_.kernel.data()), buffers_.KernelBuffer,
             static_cast<std::int64_t>(8 * options_.kernel.size()));
        kernelHalfLength = static_cast<std::int64_t>(options_.kernel.size());
        kernelFinished.release();
    }
}

BlockPipeline::~BlockPipeline()
{
    stopPump();
}

void BlockPipeline::startPump(platform::SampleSource& source, float reportedRate)
{
    if (pump_.joinable()) throw std::logic_error("The pump runs once per pipeline.");
    source_ = &source;
    reportedRate_ = reportedRate;
    pump_ = std::thread([this] { BlockPumpThread(); });
}

void BlockPipeline::startKernel(std::int64_t halfLength)
{
    if (kernel_.joinable() || !options_.kernel.empty()) {
        throw std::logic_error("The kernel is designed once per pipeline.");
    }
    if (halfLength < 1 || 2 * halfLength + 1 > kMaxTaps) {
        throw std::invalid_argument("The kernel half-length must lie between 1 and 32767.");
    }
    kernelHalfLength = halfLength;
    kernelRunning_.store(true, std::memory_order_release);
    kernel_ = std::thread([this] { KernelThread(); });
}

bool BlockPipeline::kernelRunning() const
{
    return kernelRunning_.load(std::memory_order_acquire);
}

std::int64_t BlockPipeline::lateHandoffs() const
{
    return lateHandoffs_.load(std::memory_order_relaxed);
}

void BlockPipeline::stopPump()
{
    stop_.store(true, std::memory_order_relaxed);
    // From a hook on the pump thread the request is all that can be done; the
    // owner's later call or the destructor joins.
    if (pump_.joinable() && pump_.get_id() == std::this_thread::get_id()) return;
    if (pump_.joinable()) pump_.join();
    if (kernel_.joinable()) kernel_.join();
}

// ---------------------------------------------------------------------------
// Kernel thread

void BlockPipeline::KernelThread()
{
    const Clock::time_point start = Clock::now();
    if (options_.kernelThreadStarted) options_.kernelThreadStarted();
    const std::int64_t n = kernelHalfLength;
    auto* kernel = reinterpret_cast<double*>(buffers_.KernelBuffer);
    BuildSincKernel(n, kernel);
    TransMemoryOstrel(kMode, kOverlapBytes, kernel, kernel);
    kernelHalfLength = n + n + 1;
    // The first worker's pass, over the ConvInputBuffer that PLAY cleared: the
    // pump does not write ConvInputBuffer before this thread has ended.
    ConvolveInRuns(buffers_.ConvInputBuffer, kernel, buffers_.ConvOutputBuffer,
                   static_cast<std::uint64_t>(kernelHalfLength), static_cast<std::uint64_t>(kQuarterBytes), stop_);
    kernelSeconds_ = secondsSince(start);
    kernelFinished.release();
    kernelRunning_.store(false, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Output callback

void BlockPipeline::switchBuffers()
{
    std::swap(buffers_.FrontBuffer, buffers_.BackBuffer);
    backReady.store(false, std::memory_order_relaxed);
    swaps_.fetch_add(1, std::memory_order_relaxed);
    blockSemaphore.release();
    playPosition = buffers_.FrontBuffer;
    playEnd = buffers_.FrontBuffer + kPlayBytes;
}

std::uint32_t BlockPipeline::OutputCallback(void* request, std::uint32_t length, void* user)
{
    auto* self = static_cast<BlockPipeline*>(user);
    auto* out = static_cast<std::byte*>(request);
    const auto wanted = static_cast<std::int64_t>(length);
    Clear(out, wanted);

    std::int64_t offset = 0;
    while (offset < wanted) {
        if (self->playPosition == self->playEnd) {
            // The front buffer is used up. Start the next block only once it has
            // been handed off completely; until then the rest stays silence.
            if (!self->backReady.load(std::memory_order_acquire)) {
                if (!self->lateCounted_ && !self->streamFinished_.load(std::memory_order_acquire)) {
                    self->lateHandoffs_.fetch_add(1, std::memory_order_relaxed);
                    self->lateCounted_ = true;
                }
                break;
            }
            self->lateCounted_ = false;
            self->switchBuffers();
        }
        const std::int64_t n = std::min(wanted - offset, static_cast<std::int64_t>(self->playEnd - self->playPosition));
        Copy(self->playPosition, out + offset, n);
        self->playPosition += n;
        offset += n;
        // A request that reaches the end swaps during that request, so the next
        // one starts at the new front buffer's first byte.
        if (self->playPosition == self->playEnd && self->backReady.load(std::memory_order_acquire)) {
            self->switchBuffers();
        }
    }
    return length;
}

// ---------------------------------------------------------------------------
// Convolution worker

std::int64_t BlockPipeline::ConvolutionWorker(std::uint64_t quarterCode)
{
    int k;
    switch (quarterCode) {
    case 2: k = 0; break;
    case 4: k = 1; break;
    case 8: k = 2; break;
    case 16: k = 3; break;
    default: return 0;
    }
    platform::setCurrentThreadPriority(PlayerSettings.WorkerPriority);
    QuarterParams& p = WorkerParams[k];
    std::byte* base = buffers_.WorkBufferA + 2 * k * kQuarterBytes;

    Clock::time_point start = Clock::now();
    if (!ConvolveInRuns(p.input, p.kernel, p.output, p.taps, p.byteCount, stop_)) return 0;
    p.convolutionSeconds = secondsSince(start);

    start = Clock::now();
    const std::uint64_t frames = p.byteCount / 8;
    for (std::uint64_t i = 0; i < frames; ++i) {
        if (i % (64 * kRunFrames) == 0 && stopping()) return 0;
        CopyMemoryQuenda(kMode, 8, p.input + 8 * i, base + 16 * i);
        CopyMemoryQuenda(kMode, 8, p.output + 8 * i, base + 16 * i + 8);
    }
    p.interleaveSeconds = secondsSince(start);
    return 0;
}

// ---------------------------------------------------------------------------
// Block pump

bool BlockPipeline::readBlock(std::int64_t& got, bool& ended)
{
    std::byte* block = buffers_.WorkBufferA + kOverlapBytes;
    got = 0;
    Clear(block, kBlockBytes);
    if (stopping()) return false;
    // A failure of the first request counts as nothing read; the next decides.
    std::int32_t result = source_->pull(block, static_cast<std::uint32_t>(kBlockBytes));
    if (result >= 0) {
        got = result;
        if (hooks_.progress) hooks_.progress(got, kBlockBytes);
    }
    while (got < kBlockBytes) {
        if (stopping()) return false;
        Clear(block + got, kBlockBytes - got);
        result = source_->pull(block + got, static_cast<std::uint32_t>(kBlockBytes - got));
        if (result < 0) {
            ended = true;
            return true;
        }
        got += result;
        if (hooks_.progress) hooks_.progress(got, kBlockBytes);
    }
    return true;
}

bool BlockPipeline::waitForKernel()
{
    if (kernelTaken_) return true;
    while (!kernelFinished.tryAcquireFor(kStopPoll)) {
        if (stopping()) return false;
    }
    kernelTaken_ = true;
    return true;
}

bool BlockPipeline::processBlock()
{
    BlockTimings& t = timings_;
    Clock::time_point start = Clock::now();
    Copy(buffers_.WorkBufferA + kBlockBytes, buffers_.OverlapBuffer, kOverlapBytes);
    t.clearsAndCopies += secondsSince(start);

    start = Clock::now();
    ApplyGain(buffers_.WorkBufferA, kBlockBytes + kOverlapBytes);
    t.gain = secondsSince(start);

    // The workers and the kernel thread's own pass share ConvInputBuffer,
    // ConvOutputBuffer and the tap count: nothing of them is touched before
    // the kernel is final.
    if (!waitForKernel()) return false;

    start = Clock::now();
    TransMemoryOstrel(kMode, kBlockBytes + kOverlapBytes, buffers_.WorkBufferA, buffers_.ConvInputBuffer);
    t.transfer = secondsSince(start);
    if (options_.stageReached) options_.stageReached(Stage::Transferred);
    if (stopping()) return false;

    start = Clock::now();
    Clear(buffers_.WorkBufferA, BlockBufferBytes);
    t.clearsAndCopies += secondsSince(start);

    start = Clock::now();
    static constexpr std::uint64_t kCodes[4] = {2, 4, 8, 16};
    std::thread workers[4];
    bool inline_[4] = {};
    for (int k = 0; k < 4; ++k) {
        WorkerParams[k] = QuarterParams{
            .input = buffers_.ConvInputBuffer + k * kQuarterBytes,
            .kernel = reinterpret_cast<const double*>(buffers_.KernelBuffer),
            .output = buffers_.ConvOutputBuffer + k * kQuarterBytes,
            .taps = static_cast<std::uint64_t>(kernelHalfLength),
            .byteCount = static_cast<std::uint64_t>(kQuarterBytes),
        };
        try {
            workers[k] = std::thread([this, code = kCodes[k]] { ConvolutionWorker(code); });
        } catch (const std::system_error&) {
            inline_[k] = true;  // no thread to be had: the pump does this quarter itself
        }
    }
    for (int k = 0; k < 4; ++k) {
        if (inline_[k]) ConvolutionWorker(kCodes[k]);
    }
    for (std::thread& w : workers) {
        if (w.joinable()) w.join();
    }
    t.workers = secondsSince(start);
    t.convolution = 0;
    t.interleave = 0;
    for (const QuarterParams& p : WorkerParams) {
        t.convolution = std::max(t.convolution, p.convolutionSeconds);
        t.interleave = std::max(t.interleave, p.interleaveSeconds);
    }
    if (stopping()) return false;
    if (options_.stageReached) options_.stageReached(Stage::Interleaved);

    start = Clock::now();
    BiquadParams biquad{
        .samples = buffers_.WorkBufferA,
        .byteLength = BlockBufferBytes,
        .sampleRate = (PlayerSettings.UnitScale * static_cast<double>(reportedRate_)) * 2.0,
    };
    BiquadLowPass(&biquad);
    t.biquad = secondsSince(start);
    if (stopping()) return false;

    start = Clock::now();
    Copy(buffers_.WorkBufferA, buffers_.BackBuffer, kPlayBytes);
    std::swap(buffers_.WorkBufferA, buffers_.WorkBufferB);
    Clear(buffers_.WorkBufferA, BlockBufferBytes);
    Clear(buffers_.ConvInputBuffer, BlockBufferBytes);
    Clear(buffers_.ConvOutputBuffer, BlockBufferBytes);
    t.clearsAndCopies += secondsSince(start);
    if (options_.stageReached) options_.stageReached(Stage::HandedOff);
    // Only now may the callback start the block.
    backReady.store(true, std::memory_order_release);
    return true;
}

bool BlockPipeline::waitForSwap()
{
    platform::setCurrentThreadPriority(PlayerSettings.PumpWaitPriority);
    while (!blockSemaphore.tryAcquireFor(kStopPoll)) {
        if (stopping()) return false;
    }
    // The callback has moved onto the block just handed off: clear the one it left.
    Clock::time_point start = Clock::now();
    Clear(buffers_.BackBuffer, BlockBufferBytes);
    timings_ = BlockTimings{};
    timings_.clearsAndCopies = secondsSince(start);
    return true;
}

void BlockPipeline::BlockPumpThread()
{
    // After the stream has ended: the block in which it ended is completed with
    // silence; if the look-ahead tail of that block holds input that its output
    // does not reach, one more block of silence after that tail is processed.
    bool ended = false;
    bool lastBlock = false;
    for (;;) {
        platform::setCurrentThreadPriority(PlayerSettings.PumpReadPriority);
        Clock::time_point start = Clock::now();
        Copy(buffers_.OverlapBuffer, buffers_.WorkBufferA, kOverlapBytes);
        timings_.clearsAndCopies += secondsSince(start);

        start = Clock::now();
        if (!ended) {
            std::int64_t got = 0;
            if (!readBlock(got, ended)) return;
            decodedBytes_ += got;
            if (ended) {
                totalFrames_.store((decodedBytes_ + 7) / 8, std::memory_order_release);
                lastBlock = got <= kBlockBytes - kOverlapBytes;
            }
        } else {
            Clear(buffers_.WorkBufferA + kOverlapBytes, kBlockBytes);
            lastBlock = true;
        }
        timings_.read = secondsSince(start);

        if (!processBlock()) return;
        if (lastBlock) break;
        if (!waitForSwap()) return;
    }
    streamFinished_.store(true, std::memory_order_release);
    if (hooks_.streamEnded) hooks_.streamEnded();
}

}  // namespace quenda
