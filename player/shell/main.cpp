// The player: the shell over the FFmpeg decoder, the ALSA output and the
// block pipeline.
#include <memory>

#include "pipeline/settings.h"
#include "platform/alsa_output.h"
#include "platform/ffmpeg_decoder.h"
#include "shell/app.h"
#include "shell/pipeline_engine.h"

int main(int argc, char** argv)
{
    using namespace quenda;
    const shell::PlatformParts parts{
        .makeOutput = [] { return std::make_unique<platform::AlsaOutput>(); },
        .makeDecoder =
            []() -> std::unique_ptr<platform::StreamDecoder> {
            platform::FfmpegDecoder::Options options;
            options.initRate = PlayerSettings.DecoderInitRate;
            return std::make_unique<platform::FfmpegDecoder>(options);
        },
        .makeEngine = &shell::makePipelineEngine,
    };
    return shell::runPlayer(argc, argv, parts);
}
