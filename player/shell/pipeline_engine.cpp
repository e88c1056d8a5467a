#include "shell/pipeline_engine.h"

#include "pipeline/block_pipeline.h"

namespace quenda::shell {
namespace {

class PipelineEngine final : public PlaybackEngine {
public:
    PipelineEngine(BlockBuffers& buffers, EngineHooks hooks)
        : pipeline_(buffers, BlockPipeline::Hooks{.progress = std::move(hooks.progress),
                                                  .streamEnded = std::move(hooks.streamEnded)})
    {
    }

    void startPump(platform::SampleSource& source, float reportedRate) override
    {
        pipeline_.startPump(source, reportedRate);
    }
    void startKernel(std::int64_t halfLength) override { pipeline_.startKernel(halfLength); }
    bool kernelRunning() const override { return pipeline_.kernelRunning(); }
    platform::OutputCallback outputCallback() const override { return &BlockPipeline::OutputCallback; }
    void* callbackUser() override { return pipeline_.callbackUser(); }
    void stopPump() override { pipeline_.stopPump(); }

private:
    BlockPipeline pipeline_;
};

}  // namespace

std::unique_ptr<PlaybackEngine> makePipelineEngine(BlockBuffers& buffers, EngineHooks hooks)
{
    return std::make_unique<PipelineEngine>(buffers, std::move(hooks));
}

}  // namespace quenda::shell
