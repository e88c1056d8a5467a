// What playback control needs of the block pipeline. The player drives the
// real pipeline through an adapter (pipeline_engine.h); tests use stand-ins.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/decoder.h"
#include "platform/output.h"

namespace quenda::shell {

struct EngineHooks {
    // Bytes of the current block read so far, and the block size; pump thread.
    std::function<void(std::int64_t got, std::int64_t total)> progress;
    // The stream failed or ended; once, on the pump thread.
    std::function<void()> streamEnded;
};

class PlaybackEngine {
public:
    virtual ~PlaybackEngine() = default;

    // Starts the pump thread over `source`, which outlives the engine's pump.
    virtual void startPump(platform::SampleSource& source, float reportedRate) = 0;
    // Starts the kernel thread for half-length N.
    virtual void startKernel(std::int64_t halfLength) = 0;
    virtual bool kernelRunning() const = 0;
    // The output callback and the user value that goes with it.
    virtual platform::OutputCallback outputCallback() const = 0;
    virtual void* callbackUser() = 0;
    // Stops the pump promptly wherever it is; idempotent.
    virtual void stopPump() = 0;
};

// Makes the engine, and with it the hand-off semaphore at count 0.
using EngineFactory = std::function<std::unique_ptr<PlaybackEngine>(EngineHooks)>;
// Makes a decoder ready to open streams; destroying it frees it.
using DecoderFactory = std::function<std::unique_ptr<platform::StreamDecoder>()>;

}  // namespace quenda::shell
