// The player's main routine over whichever platform parts it is given.
#pragma once

#include <functional>
#include <memory>

#include "pipeline/block_buffers.h"
#include "platform/output.h"
#include "shell/playback_engine.h"

namespace quenda::shell {

struct PlatformParts {
    std::function<std::unique_ptr<platform::ExclusiveOutput>()> makeOutput;
    DecoderFactory makeDecoder;
    // The engine over the player's block buffers.
    std::function<std::unique_ptr<PlaybackEngine>(BlockBuffers&, EngineHooks)> makeEngine;
};

// Opens the toolkit, runs start-up and the event loop, and ends the process.
// Without a display it says so in one line on standard error and ends with 0.
int runPlayer(int& argc, char** argv, const PlatformParts& parts);

}  // namespace quenda::shell
