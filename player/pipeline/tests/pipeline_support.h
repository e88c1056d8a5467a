// Shared pieces of the pipeline tests: a scripted decoder, the expected
// output worked out with the filter routines one block at a time, and a
// player loop that drives the output callback from the test thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "pipeline/block_pipeline.h"
#include "pipeline/settings.h"
#include "platform/decoder.h"

namespace quenda::test {

inline constexpr std::int64_t kBlockBytes = PlayerSettings.BlockBytes;
inline constexpr std::int64_t kBlockFrames = kBlockBytes / 8;        // 3,969,000
inline constexpr std::int64_t kOverlapFrames = PlayerSettings.OverlapBytes / 8;  // 65,536
inline constexpr std::int64_t kPlayBytes = 2 * kBlockBytes;          // one output block
inline constexpr float kRate = 44100.0f;

// `frames` stereo frames of a reproducible noise-like signal.
std::vector<float> MakeSignal(std::int64_t frames);

// Hands out a signal the way a decoder might: in pieces of the sizes given
// (cycled; 0 means a pull that delivers nothing), then -1 at the end. A hold
// point keeps it from delivering past a byte until release() is called; while
// held, a pull waits briefly and returns 0, like a network stream that stalls.
class ScriptedSource : public platform::SampleSource {
public:
    explicit ScriptedSource(const std::vector<float>& signal, std::vector<std::uint32_t> pieces = {});
    std::int32_t pull(void* dst, std::uint32_t length) override;

    void holdAt(std::int64_t byte);
    void release();
    // Ends the stream with a failure after `byte` (as a dropped connection would).
    void failAt(std::int64_t byte) { failAt_ = byte; }
    std::int64_t delivered() const { return position_.load(); }

private:
    const std::vector<float>& signal_;
    std::vector<std::uint32_t> pieces_;
    std::size_t nextPiece_ = 0;
    std::atomic<std::int64_t> position_{0};
    std::int64_t failAt_ = -1;
    std::mutex mutex_;
    std::condition_variable released_;
    std::int64_t holdAt_ = -1;
};

// The played part (2 × BlockBytes) of block b as the chain gives it, stage by stage:
// the 65,536 frames before the block and the block itself, scaled, convolved
// in one call, interleaved, and low-passed at twice `rate`.
std::vector<float> ReferenceBlock(const std::vector<float>& signal, std::int64_t block,
                                  const std::vector<double>& kernel, float rate = kRate);

// Everything the output should play from its start: the silent first front
// buffer, the blocks, then silence.
class ExpectedOutput {
public:
    ExpectedOutput(const std::vector<float>& signal, std::int64_t blocks, const std::vector<double>& kernel);
    // Whether `length` bytes at `data` are the expected bytes from `offset` on.
    bool matches(const std::byte* data, std::int64_t offset, std::int64_t length) const;

private:
    std::vector<std::vector<float>> blocks_;
};

// Calls the output callback like a device thread would, from the test thread.
class Player {
public:
    explicit Player(BlockPipeline& pipeline) : pipeline_(pipeline) {}

    // One request; checks that the whole length is returned. The bytes stay in buffer().
    void request(std::int64_t length);
    const std::byte* buffer() const { return buffer_.data(); }

    // Waits (at most a minute) until the next block is ready or the stream has finished.
    bool waitReady();

    // Plays `length` bytes in requests of `requestLength`, waiting for the next
    // block whenever a request would reach past the end of the one playing, so
    // nothing comes late. Compares every request against `expected` from
    // `played()` on. False at the first mismatch.
    bool playChecked(const ExpectedOutput& expected, std::int64_t length, std::int64_t requestLength);
    std::int64_t played() const { return played_; }
    void skipExpected(std::int64_t bytes) { played_ += bytes; }

    // Plays until the pump has finished and its last block has been started.
    void drain();

private:
    BlockPipeline& pipeline_;
    std::vector<std::byte> buffer_;
    std::int64_t played_ = 0;  // expected-stream bytes played so far
};

// A kernel of one tap {1.0}.
inline std::vector<double> OneTap() { return {1.0}; }
inline BlockPipeline::Options OneTapOptions()
{
    BlockPipeline::Options options;
    options.kernel = OneTap();
    return options;
}

}  // namespace quenda::test
