// The block pipeline behind playback control's engine interface.
#pragma once

#include <memory>

#include "pipeline/block_buffers.h"
#include "shell/playback_engine.h"

namespace quenda::shell {

std::unique_ptr<PlaybackEngine> makePipelineEngine(BlockBuffers& buffers, EngineHooks hooks);

}  // namespace quenda::shell
