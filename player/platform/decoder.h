// The stream decoder the player pulls its input from: decode-only, 32-bit
// float stereo out at the stream's first sample rate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quenda::platform {

// The sample rates the player accepts from a stream. The rate comes from the
// server and sizes the decoder's buffer and the output device's setup, so a
// stream outside these bounds is refused rather than trusted.
inline constexpr double kMinSampleRate = 8'000.0;
inline constexpr double kMaxSampleRate = 384'000.0;

// Whether `rate` (Hz) is a finite rate within [kMinSampleRate, kMaxSampleRate].
constexpr bool isUsableSampleRate(double rate) {
    // Written so that NaN fails both comparisons.
    return rate >= kMinSampleRate && rate <= kMaxSampleRate;
}

// Anything the block pump can pull interleaved 32-bit float stereo from.
class SampleSource {
public:
    virtual ~SampleSource() = default;

    // Writes up to `length` bytes of interleaved float stereo frames at `dst`
    // and returns how many it wrote (0 to `length`), or -1 once the source has
    // failed or ended and every byte it held has been handed out. Waits a short,
    // bounded time for data rather than returning 0 at once.
    virtual std::int32_t pull(void* dst, std::uint32_t length) = 0;
};

// One open stream: the player's decoding channel.
class AudioStream : public SampleSource {
public:
    // The stream's sample rate as the decoder reports it; false when unknown.
    virtual bool sampleRate(float& rate) const = 0;

    // Stops reading the network; later pulls return -1. Returns within about a
    // second even while the server stalls.
    virtual void stop() = 0;
};

// The decoder itself: initialised with a nominal rate and a network buffer,
// opens streams by address. Freed by destruction.
class StreamDecoder {
public:
    virtual ~StreamDecoder() = default;

    // Network buffer length in milliseconds (the player uses 90000).
    virtual void setNetBufferMilliseconds(int milliseconds) = 0;

    // Opens a station address; nullptr when it cannot be opened.
    virtual std::unique_ptr<AudioStream> openUrl(const std::string& url) = 0;

    // Why the last openUrl failed (the failing step and its reason); empty
    // after a success or when the decoder does not say.
    virtual std::string lastError() const { return {}; }
};

}  // namespace quenda::platform
