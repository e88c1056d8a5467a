// The block pipeline as the player drives it: the pump thread, the kernel
// thread and the output callback over the eight block buffers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "block_buffers.h"
#include "platform/decoder.h"
#include "platform/output.h"

namespace quenda {

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

    // The buffers must have been cleared; the pipeline owns their contents
    // until it is destroyed.
    BlockPipeline(BlockBuffers& buffers, Hooks hooks);
    ~BlockPipeline();  // stops everything still running
    BlockPipeline(const BlockPipeline&) = delete;
    BlockPipeline& operator=(const BlockPipeline&) = delete;

    // Starts the pump thread reading `source` (which must outlive the pipeline)
    // whose rate the decoder reported as `reportedRate`.
    void startPump(platform::SampleSource& source, float reportedRate);

    // Starts the kernel thread for half-length N (256 … 16384).
    void startKernel(std::int64_t halfLength);

    // Whether the kernel thread still runs; polled by the main thread.
    bool kernelRunning() const;

    // The output callback and its user value, for the exclusive output.
    static std::uint32_t OutputCallback(void* request, std::uint32_t length, void* user);
    void* callbackUser() { return this; }

    // Stops the pump promptly wherever it is (reading, processing, waiting),
    // leaving no lock held. Idempotent.
    void stopPump();

    // Hand-offs that were not ready when the output reached the end of its block.
    std::int64_t lateHandoffs() const;
};

}  // namespace quenda
