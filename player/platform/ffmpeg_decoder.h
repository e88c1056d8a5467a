// The stream decoder over FFmpeg: opens internet-radio addresses (HTTP, HTTPS,
// Icecast/SHOUTcast, HLS), decodes any audio codec FFmpeg has and hands out
// interleaved 32-bit float stereo at the stream's first sample rate.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/decoder.h"

namespace quenda::platform {

class FfmpegDecoder : public StreamDecoder {
public:
    struct Options {
        // Nominal rate of the decode-only decoder; every stream keeps its own rate.
        int initRate = 44100;
        // Also open local files (file: addresses and plain paths). Station
        // addresses never may: only the network protocols are allowed.
        bool allowLocalFiles = false;
        // Reopen a network stream that drops or that the server closes.
        bool reconnect = true;
        // An open that has received nothing after this long fails.
        std::chrono::milliseconds connectTimeout{10'000};
        // An open that has not decoded its first audio frame this long after
        // it started fails, however much data keeps arriving (a server that
        // trickles bytes, or sends endless data that is not audio).
        std::chrono::milliseconds openTimeout{30'000};
        // A stream that delivers nothing for this long counts as dropped.
        std::chrono::milliseconds stallTimeout{20'000};
        // Pause before the first reconnection attempt; it doubles after every
        // failed attempt.
        std::chrono::milliseconds firstRetryDelay{1'000};
        // Reconnection gives up once the next pause would end this long after
        // the drop.
        std::chrono::milliseconds retryBudget{300'000};
        // Longest time a pull waits for data before it returns 0.
        std::chrono::milliseconds pullWait{100};
    };

    FfmpegDecoder();
    explicit FfmpegDecoder(const Options& options);

    // Kept for the streams opened afterwards; at least 90 seconds are buffered
    // whatever is set.
    void setNetBufferMilliseconds(int milliseconds) override;

    std::unique_ptr<AudioStream> openUrl(const std::string& url) override;

    // Why the last openUrl failed: the failing step and FFmpeg's reason.
    std::string lastError() const override { return lastError_; }

private:
    Options options_;
    int netBufferMilliseconds_ = 90'000;
    std::string lastError_;
};

}  // namespace quenda::platform
