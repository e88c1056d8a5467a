// quenda-render: plays a source through the player's decoder and block
// pipeline into a WAV file instead of a device.
//
//   quenda-render [--half-length N] INPUT OUTPUT.wav
//
// The output callback is called from this thread the way the device's thread
// would call it, except that at the end of each block it waits for the next
// one rather than playing silence: the file holds exactly what a device would
// play when no block is late, however long the processing takes.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <memory>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/block_buffers.h"
#include "pipeline/block_pipeline.h"
#include "pipeline/settings.h"
#include "platform/ffmpeg_decoder.h"
#include "wav_writer.h"

namespace {

using quenda::BlockPipeline;
using quenda::PlayerSettings;

constexpr std::int64_t kPlayBytes = 2 * PlayerSettings.BlockBytes;
constexpr std::int64_t kOverlapFrames = PlayerSettings.OverlapBytes / 8;
constexpr std::int64_t kChunkBytes = 8 * 16384;
constexpr std::int64_t kHalfLengths[] = {256, 512, 1024, 2048, 4096, 16384};

std::atomic<bool> gInterrupted{false};

extern "C" void OnSignal(int) { gInterrupted.store(true); }

// A failure worth one line on standard error and a non-zero exit.
struct Failure {
    std::string message;
    int status = 1;
};

void Usage(std::FILE* out)
{
    std::fputs("usage: quenda-render [--half-length N] INPUT OUTPUT.wav\n"
               "  Plays INPUT (a file or a URL) through the player's block chain into OUTPUT.wav,\n"
               "  32-bit float stereo at twice the input's rate.\n"
               "  N: 256 (default), 512, 1024, 2048, 4096 or 16384.\n",
               out);
}

struct Arguments {
    std::int64_t halfLength = 256;
    std::string input;
    std::string output;
};

Arguments Parse(int argc, char** argv)
{
    Arguments args;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            std::exit(0);
        }
        if (a == "--half-length" || a.rfind("--half-length=", 0) == 0) {
            std::string value;
            if (a == "--half-length") {
                if (i + 1 >= argc) throw Failure{"--half-length needs a value", 2};
                value = argv[++i];
            } else {
                value = a.substr(std::strlen("--half-length="));
            }
            bool offered = false;
            for (std::int64_t n : kHalfLengths) offered = offered || value == std::to_string(n);
            if (!offered) {
                throw Failure{"half-length " + value + " is not offered; use 256, 512, 1024, 2048, 4096 or 16384", 2};
            }
            args.halfLength = std::stoll(value);
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            throw Failure{"unknown option " + a, 2};
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) throw Failure{"expected INPUT and OUTPUT.wav (see --help)", 2};
    args.input = positional[0];
    args.output = positional[1];
    return args;
}

// The progress of the block being read, on one line of standard error.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}

    // Pump thread.
    void update(std::int64_t got, std::int64_t total)
    {
        if (!enabled_) return;
        if (got < lastGot_ || processing_) ++block_;
        processing_ = false;
        lastGot_ = got;
        const int percent = static_cast<int>(got * 100 / total);
        if (percent == lastPercent_ && block_ == lastBlock_) return;
        lastPercent_ = percent;
        lastBlock_ = block_;
        draw(percent, got == total);
    }

    // Pump thread: the block read so far is being processed.
    void processing()
    {
        if (!enabled_) return;
        processing_ = true;
        draw(std::max(lastPercent_, 0), true);
    }

    // Main thread, once the pump has ended.
    void close()
    {
        if (enabled_ && lastPercent_ >= 0) std::fputs("\r\033[K", stderr);
    }

private:
    void draw(int percent, bool processing)
    {
        constexpr int kWidth = 40;
        char bar[kWidth + 1];
        const int filled = percent * kWidth / 100;
        for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
        bar[kWidth] = '\0';
        std::fprintf(stderr, "\rblock %lld [%s] %3d%% %s", static_cast<long long>(block_ + 1), bar, percent,
                     processing ? "processing" : "reading   ");
        std::fflush(stderr);
    }

    bool enabled_;
    bool processing_ = false;
    std::int64_t block_ = 0;
    std::int64_t lastGot_ = 0;
    std::int64_t lastBlock_ = -1;
    int lastPercent_ = -1;
};

// Waits for `ready`, a little at a time; false when interrupted.
template <class Ready>
bool WaitFor(Ready ready)
{
    while (!ready()) {
        if (gInterrupted.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct Rendered {
    std::int64_t blocks = 0;  // output blocks written after the silent front buffer
    std::int64_t bytes = 0;   // bytes of audio written
};

// Plays the silent front buffer into nothing, then every block into `writer`
// up to the two frames of the last decoded input frame.
Rendered Render(BlockPipeline& pipeline, quenda::render::WavWriter& writer)
{
    std::vector<std::byte> buffer(kChunkBytes);
    void* const user = pipeline.callbackUser();
    auto request = [&](std::int64_t n) {
        BlockPipeline::OutputCallback(buffer.data(), static_cast<std::uint32_t>(n), user);
    };

    for (std::int64_t played = 0; played < kPlayBytes;) {
        const std::int64_t n = std::min(kChunkBytes, kPlayBytes - played);
        request(n);
        played += n;
    }

    Rendered r;
    std::int64_t position = kPlayBytes;  // within the output buffer playing
    for (;;) {
        if (gInterrupted.load()) throw Failure{"interrupted", 130};
        const std::int64_t frames = pipeline.totalFrames();
        const std::int64_t limit = frames < 0 ? -1 : 2 * (kOverlapFrames + frames) * 8;
        if (limit >= 0 && r.bytes >= limit) break;
        if (position == kPlayBytes) {
            // The next block: already started by the request that ended the last
            // one, about to be, or never, once the pump has finished.
            const std::int64_t started = r.blocks;
            if (!WaitFor([&] {
                    return pipeline.swaps() > started || pipeline.nextBlockReady() || pipeline.streamFinished();
                })) {
                throw Failure{"interrupted", 130};
            }
            if (pipeline.swaps() == started && !pipeline.nextBlockReady()) {
                throw Failure{"the pipeline ended before the last decoded frame was played"};
            }
            ++r.blocks;
            position = 0;
        }
        std::int64_t n = std::min(kChunkBytes, kPlayBytes - position);
        if (limit >= 0) n = std::min(n, limit - r.bytes);
        request(n);
        writer.write(buffer.data(), static_cast<std::uint64_t>(n));
        position += n;
        r.bytes += n;
    }
    return r;
}

int Run(int argc, char** argv)
{
    const Arguments args = Parse(argc, argv);
    const auto start = std::chrono::steady_clock::now();

    quenda::platform::FfmpegDecoder::Options decoderOptions;
    decoderOptions.allowLocalFiles = true;
    decoderOptions.reconnect = false;  // a server that closes the stream ends the render
    quenda::platform::FfmpegDecoder decoder(decoderOptions);
    std::unique_ptr<quenda::platform::AudioStream> stream = decoder.openUrl(args.input);
    if (!stream) throw Failure{"cannot open " + args.input + ": " + decoder.lastError()};
    float rate = 0;
    if (!stream->sampleRate(rate) || !quenda::platform::isUsableSampleRate(rate)) {
        throw Failure{"unusable sample rate in " + args.input};
    }
    const auto outputRate = static_cast<std::uint32_t>(2 * std::lround(rate));

    quenda::render::WavWriter writer(args.output, outputRate);
    quenda::BlockMemory memory;
    memory.clearAll();
    ProgressBar bar(isatty(STDERR_FILENO) == 1);
    BlockPipeline::Hooks hooks;
    hooks.progress = [&bar](std::int64_t got, std::int64_t total) { bar.update(got, total); };

    BlockPipeline::Options options;
    options.stageReached = [&bar](BlockPipeline::Stage stage) {
        if (stage == BlockPipeline::Stage::Transferred) bar.processing();
    };

    Rendered r;
    {
        BlockPipeline pipeline(memory.buffers(), hooks, options);
        pipeline.startPump(*stream, rate);
        pipeline.startKernel(args.halfLength);
        try {
            r = Render(pipeline, writer);
        } catch (...) {
            pipeline.stopPump();
            bar.close();
            throw;
        }
        pipeline.stopPump();
        bar.close();
        if (pipeline.totalFrames() == 0) throw Failure{"no audio could be decoded from " + args.input};
    }
    stream->stop();
    writer.finish();

    const double taken = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "quenda-render: %lld block%s, %.1f s of audio, %.1f s taken\n",
                 static_cast<long long>(r.blocks), r.blocks == 1 ? "" : "s",
                 static_cast<double>(r.bytes / 8) / outputRate, taken);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A file size limit then fails the write (EFBIG) instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return Run(argc, argv);
    } catch (const Failure& f) {
        std::fprintf(stderr, "quenda-render: %s\n", f.message.c_str());
        return f.status;
    } catch (const quenda::render::WriteError& e) {
        std::fprintf(stderr, "quenda-render: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quenda-render: %s\n", e.what());
        return 1;
    }
}
