// The stream decoder against a small HTTP server that misbehaves on purpose:
// refused addresses, broken replies, stalls, drops and reconnections. The
// audio is 16-bit PCM in WAV, so every decoded sample can be checked exactly.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/ffmpeg_decoder.h"
#include "test_support.h"

namespace quenda::platform::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 44100;

// Short waits so that the whole suite runs in seconds.
FfmpegDecoder::Options quickOptions() {
    FfmpegDecoder::Options o;
    o.connectTimeout = 1000ms;
    o.stallTimeout = 1000ms;
    o.firstRetryDelay = 50ms;
    o.retryBudget = 600ms;
    return o;
}

struct Pulled {
    std::vector<float> frames;  // interleaved stereo
    bool ended = false;         // the pull call returned -1
};

// Pulls until -1, `maxFrames` frames, or `limit` time; asks for odd sizes so
// that frames split across calls are exercised too.
Pulled pullAll(AudioStream& stream, std::size_t maxFrames, std::chrono::milliseconds limit = 20s) {
    Pulled out;
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> chunk(12'345);
    const auto end = Clock::now() + limit;
    while (bytes.size() < maxFrames * 8 && Clock::now() < end) {
        const std::int32_t n = stream.pull(chunk.data(), static_cast<std::uint32_t>(chunk.size()));
        if (n < 0) {
            out.ended = true;
            break;
        }
        EXPECT_LE(n, static_cast<std::int32_t>(chunk.size()));
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
    }
    bytes.resize(std::min(bytes.size(), maxFrames * 8) / 8 * 8);
    out.frames.resize(bytes.size() / 4);
    std::memcpy(out.frames.data(), bytes.data(), bytes.size());
    return out;
}

// Checks that `frames` carry the counting signal: runs of consecutive frame
// numbers, each starting where `starts` says. Returns the run lengths.
std::vector<std::size_t> rampRuns(const std::vector<float>& frames) {
    std::vector<std::size_t> runs;
    const std::size_t count = frames.size() / 2;
    for (std::size_t i = 0; i < count; ++i) {
        const int index = rampIndex(frames[2 * i]);
        EXPECT_EQ(rampIndex(-frames[2 * i + 1] - 1.0f / 32768.0f), index) << "right channel at frame " << i;
        if (i == 0 || index != ((rampIndex(frames[2 * (i - 1)]) + 1) & 0xffff)) runs.push_back(0);
        ++runs.back();
    }
    return runs;
}

// The misbehaving server. Paths:
//   /ramp/C/F      C channels, frames [0, F) of the counting signal, then close
//   /html          a web page
//   /random        noise bytes as audio/mpeg
//   /silent        accepts and never answers
//   /stall         two seconds of audio, then nothing (less would not finish FFmpeg's
//                  probe for DTS hidden in WAV)
//   /trickle       half a second of audio at half the real-time pace
//   /drop-return   1 s, close; next connection: a gap of 0.5 s, then 1 s, close; then 404
//   /drop-gone     1 s, close; then 404
//   /rate-change   1 s of a 1 kHz tone at 44.1 kHz mono, close; then 1 s of it at 22.05 kHz stereo
//   /redirect      302 to /ramp/2/44100
//   /to-file       302 to a local file
//   /icy           /ramp/2/44100 from a SHOUTcast server, with titles in the audio
//   /noise-trickle 64 noise bytes as audio/mpeg every 100 ms, never ending
//   /noise-flood   noise as audio/mpeg as fast as it is taken, never ending
//   /rate/R        a quarter second of the counting signal claiming R Hz
void serve(const HttpServer::Request& r) {
    const std::string audioHead = "HTTP/1.0 200 OK\r\nContent-Type: audio/wav\r\n\r\n";
    if (r.path.rfind("/ramp/", 0) == 0) {
        const int channels = std::atoi(r.path.c_str() + 6);
        const long frames = std::atol(r.path.c_str() + r.path.rfind('/') + 1);
        HttpServer::send(r.fd, audioHead + wavHeader(kRate, channels) + rampPcm(0, frames, channels));
    } else if (r.path == "/html") {
        HttpServer::send(r.fd, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<!DOCTYPE html><html><head>"
                               "<title>Station</title></head><body><p>Listen here</p></body></html>\n");
    } else if (r.path == "/random") {
        std::mt19937 rng(7);
        std::string noise(64 * 1024, '\0');
        for (char& c : noise) c = static_cast<char>(rng());
        HttpServer::send(r.fd, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n" + noise);
    } else if (r.path == "/silent") {
        HttpServer::pause(r.stopping, 60'000);
    } else if (r.path == "/stall") {
        HttpServer::send(r.fd, audioHead + wavHeader(kRate, 2) + rampPcm(0, 2 * kRate, 2));
        HttpServer::pause(r.stopping, 60'000);
    } else if (r.path == "/trickle") {
        HttpServer::send(r.fd, audioHead + wavHeader(kRate, 2));
        for (int i = 0; i < 10; ++i) {
            if (!HttpServer::send(r.fd, rampPcm(i * kRate / 20, kRate / 20, 2))) return;
            if (!HttpServer::pause(r.stopping, 100)) return;
        }
    } else if (r.path == "/drop-return" && r.connection < 2) {
        const long first = r.connection == 0 ? 0 : kRate + kRate / 2;
        HttpServer::send(r.fd, audioHead + wavHeader(kRate, 2) + rampPcm(first, kRate, 2));
    } else if (r.path == "/drop-gone" && r.connection == 0) {
        HttpServer::send(r.fd, audioHead + wavHeader(kRate, 2) + rampPcm(0, kRate, 2));
    } else if (r.path == "/rate-change" && r.connection < 2) {
        const int rate = r.connection == 0 ? kRate : kRate / 2;
        const int channels = r.connection == 0 ? 1 : 2;
        HttpServer::send(r.fd, audioHead + wavHeader(rate, channels) + tonePcm(rate, channels, 1000, 0.5, 0, rate));
    } else if (r.path == "/icy") {
        // A SHOUTcast server: its own status line, and a title block after
        // every 1000 bytes of audio.
        HttpServer::send(r.fd, "ICY 200 OK\r\nicy-name: Test FM\r\nicy-metaint: 1000\r\n"
                               "Content-Type: audio/wav\r\n\r\n");
        const std::string audio = wavHeader(kRate, 2) + rampPcm(0, kRate, 2);
        const std::string title = "StreamTitle='Quenda test';";
        std::string block(1, static_cast<char>((title.size() + 15) / 16));
        block += title;
        block.resize(1 + 16 * static_cast<std::size_t>(block[0]), '\0');
        std::string body;
        for (std::size_t at = 0; at < audio.size(); at += 1000) body += audio.substr(at, 1000) + block;
        HttpServer::send(r.fd, body);
    } else if (r.path == "/noise-trickle" || r.path == "/noise-flood") {
        const bool flood = r.path == "/noise-flood";
        if (!HttpServer::send(r.fd, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n")) return;
        std::mt19937 rng(11);
        std::string noise(flood ? 16 * 1024 : 64, '\0');
        while (!r.stopping) {
            for (char& c : noise) c = static_cast<char>(rng());
            if (!HttpServer::send(r.fd, noise)) return;
            if (!flood && !HttpServer::pause(r.stopping, 100)) return;
        }
    } else if (r.path.rfind("/rate/", 0) == 0) {
        const int rate = std::atoi(r.path.c_str() + 6);
        HttpServer::send(r.fd, audioHead + wavHeader(rate, 2) + rampPcm(0, kRate / 4, 2));
    } else if (r.path == "/to-file") {
        HttpServer::send(r.fd, "HTTP/1.0 302 Found\r\nLocation: file:///etc/passwd\r\n\r\n");
    } else if (r.path == "/redirect") {
        HttpServer::send(r.fd, "HTTP/1.0 302 Found\r\nLocation: /ramp/2/44100\r\n\r\n");
    } else {
        HttpServer::send(r.fd, "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n\r\nnot here\n");
    }
}

class DecoderFaults : public ::testing::Test {
protected:
    HttpServer server{serve};
};

TEST_F(DecoderFaults, AddressesThatAreNotStationsAreRefused) {
    TempDir dir;
    writeFile(dir.file("a.wav"), wavHeader(kRate, 2) + rampPcm(0, 1000, 2));
    const std::string refused[] = {
        "file://" + dir.file("a.wav"), dir.file("a.wav"), "pipe:0", "data:audio/wav;base64,UklGRg==",
        "concat:" + dir.file("a.wav"), "ftp://127.0.0.1/a.wav", "", "icy://127.0.0.1/a"};
    for (const std::string& url : refused) {
        FfmpegDecoder decoder(quickOptions());
        EXPECT_EQ(decoder.openUrl(url), nullptr) << url;
        EXPECT_NE(decoder.lastError().find("refused"), std::string::npos) << url << ": " << decoder.lastError();
    }
    // A redirect may not lead a station to a local file either.
    FfmpegDecoder decoder(quickOptions());
    EXPECT_EQ(decoder.openUrl(server.url("/to-file")), nullptr);
}

TEST_F(DecoderFaults, OpenFailsWithinItsTimeLimit) {
    const std::string cases[] = {
        "http://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/",  // connection refused
        server.url("/missing"),                                           // 404
        server.url("/html"),
        server.url("/random"),
        server.url("/silent"),  // connects, never answers
    };
    for (const std::string& url : cases) {
        FfmpegDecoder decoder(quickOptions());
        const auto start = Clock::now();
        EXPECT_EQ(decoder.openUrl(url), nullptr) << url;
        EXPECT_FALSE(decoder.lastError().empty()) << url;
        EXPECT_LT(Clock::now() - start, 4s) << url;
    }
}

// Data that keeps arriving but never decodes to audio cannot hold the open
// (which the player makes on its window's thread) past its overall deadline.
TEST_F(DecoderFaults, OpenGivesUpOnDataThatNeverBecomesAudio) {
    struct Case {
        const char* path;
        const char* reason;  // in the error; nullptr: FFmpeg's own
    };
    // The trickle is only ever stopped by the deadline, and the error says so.
    for (const Case c : {Case{"/noise-trickle", "time limit"}, Case{"/noise-flood", nullptr}}) {
        FfmpegDecoder::Options options = quickOptions();
        options.openTimeout = 1500ms;
        FfmpegDecoder decoder(options);
        const auto start = Clock::now();
        EXPECT_EQ(decoder.openUrl(server.url(c.path)), nullptr) << c.path;
        EXPECT_LT(Clock::now() - start, 4s) << c.path << ": " << decoder.lastError();
        EXPECT_FALSE(decoder.lastError().empty()) << c.path;
        if (c.reason != nullptr) {
            EXPECT_NE(decoder.lastError().find(c.reason), std::string::npos) << decoder.lastError();
        }
    }
}

// The stream's rate sizes its buffer, so a rate the server makes up is refused
// before anything is allocated for it.
TEST_F(DecoderFaults, RatesOutsideTheUsableRangeAreRefused) {
    struct Case {
        int rate;
        bool opens;
    };
    for (const Case c : {Case{1'000'000, false}, Case{4'000, false}, Case{8'000, true}, Case{384'000, true},
                         Case{384'001, false}}) {
        FfmpegDecoder decoder(quickOptions());
        std::unique_ptr<AudioStream> stream = decoder.openUrl(server.url("/rate/" + std::to_string(c.rate)));
        EXPECT_EQ(stream != nullptr, c.opens) << c.rate;
        if (!c.opens) {
            EXPECT_NE(decoder.lastError().find("sample rate"), std::string::npos) << decoder.lastError();
        }
    }
    EXPECT_FALSE(isUsableSampleRate(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(isUsableSampleRate(std::numeric_limits<double>::infinity()));
}

// Mono is duplicated, stereo passes exactly, more channels are mixed down; a
// redirect is followed; SHOUTcast titles are taken out of the audio; a finished
// local file ends without a reconnection.
TEST_F(DecoderFaults, HandsOutExactStereoFloatForEveryLayout) {
    TempDir dir;
    writeFile(dir.file("local.wav"), wavHeader(kRate, 2) + rampPcm(0, kRate, 2));
    struct Case {
        std::string url;
        int channels;
        bool local;
    };
    const Case cases[] = {
        {server.url("/ramp/1/44100"), 1, false},
        {server.url("/ramp/2/44100"), 2, false},
        {server.url("/ramp/6/44100"), 6, false},
        {server.url("/redirect"), 2, false},
        {server.url("/icy"), 2, false},
        {"file://" + dir.file("local.wav"), 2, true},
        {dir.file("local.wav"), 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        FfmpegDecoder::Options options = quickOptions();
        options.allowLocalFiles = c.local;
        options.retryBudget = 10s;  // a network stream's end must not be waited out here
        FfmpegDecoder decoder(options);
        auto stream = decoder.openUrl(c.url);
        ASSERT_NE(stream, nullptr) << decoder.lastError();
        float rate = 0;
        ASSERT_TRUE(stream->sampleRate(rate));
        EXPECT_EQ(rate, 44100.0f);
        const Pulled got = pullAll(*stream, kRate, 5s);
        ASSERT_EQ(got.frames.size(), 2u * kRate);
        for (std::size_t i = 0; i < kRate; ++i) {
            const float left = got.frames[2 * i];
            const float right = got.frames[2 * i + 1];
            ASSERT_EQ(rampIndex(left), static_cast<int>(i & 0xffff)) << "frame " << i;
            if (c.channels == 1) {
                ASSERT_EQ(right, left) << "frame " << i;
            } else if (c.channels == 2) {
                ASSERT_EQ(rampIndex(-right - 1.0f / 32768.0f), rampIndex(left)) << "frame " << i;
            }
        }
        if (c.local) {
            const auto start = Clock::now();
            EXPECT_EQ(stream->pull(nullptr, 0), -1);
            EXPECT_LT(Clock::now() - start, 1s);
        }
    }
}

// A drop is reconnected and goes on where the new connection starts: nothing is
// repeated, the gap is simply missing. A drop that does not come back hands out
// the buffered audio, then -1 once the retries are spent.
TEST_F(DecoderFaults, DropsAreReconnectedWithoutRepeatingAudio) {
    struct Case {
        std::string path;
        std::vector<std::size_t> runs;
        int minConnections;
    };
    const Case cases[] = {
        {"/drop-return", {kRate, kRate}, 3},
        {"/drop-gone", {kRate}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FfmpegDecoder decoder(quickOptions());
        auto stream = decoder.openUrl(server.url(c.path));
        ASSERT_NE(stream, nullptr) << decoder.lastError();
        const Pulled got = pullAll(*stream, 10 * kRate);
        EXPECT_TRUE(got.ended);
        EXPECT_EQ(rampRuns(got.frames), c.runs);
        if (c.runs.size() == 2) {
            EXPECT_EQ(rampIndex(got.frames[2 * kRate]), (kRate + kRate / 2) & 0xffff);
        }
        EXPECT_GE(server.connections(c.path), c.minConnections);
    }
}

TEST_F(DecoderFaults, ReconnectingIsOffWhenAsked) {
    FfmpegDecoder::Options options = quickOptions();
    options.reconnect = false;
    FfmpegDecoder decoder(options);
    auto stream = decoder.openUrl(server.url("/drop-return"));
    ASSERT_NE(stream, nullptr) << decoder.lastError();
    const Pulled got = pullAll(*stream, 10 * kRate);
    EXPECT_TRUE(got.ended);
    EXPECT_EQ(rampRuns(got.frames), std::vector<std::size_t>{kRate});
    EXPECT_EQ(server.connections("/drop-return"), 1);
}

// A change of rate and layout in mid-stream is resampled to the first rate.
TEST_F(DecoderFaults, RateChangeIsResampledToTheFirstRate) {
    FfmpegDecoder decoder(quickOptions());
    auto stream = decoder.openUrl(server.url("/rate-change"));
    ASSERT_NE(stream, nullptr) << decoder.lastError();
    const Pulled got = pullAll(*stream, 10 * kRate);
    EXPECT_TRUE(got.ended);
    float rate = 0;
    ASSERT_TRUE(stream->sampleRate(rate));
    EXPECT_EQ(rate, 44100.0f);
    // One second from each connection, both at the first rate.
    EXPECT_NEAR(static_cast<double>(got.frames.size() / 2), 2.0 * kRate, 0.01 * kRate);
    const std::vector<float> second(got.frames.begin() + 2 * (kRate + kRate / 10), got.frames.end());
    for (int ch = 0; ch < 2; ++ch) {
        EXPECT_NEAR(zeroCrossingFrequency(second, ch, kRate), 1000.0, 5.0);
        EXPECT_NEAR(rmsLevel(second, ch), 0.5 / std::sqrt(2.0), 0.02);
    }
}

// A stall counts as a drop after the stall limit; a slow trickle does not.
TEST_F(DecoderFaults, StallEndsTheStreamButATrickleDoesNot) {
    struct Case {
        std::string path;
        std::size_t frames;
    };
    const Case cases[] = {{"/stall", 2 * kRate}, {"/trickle", kRate / 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FfmpegDecoder::Options options = quickOptions();
        options.reconnect = false;
        options.stallTimeout = 400ms;
        FfmpegDecoder decoder(options);
        auto stream = decoder.openUrl(server.url(c.path));
        ASSERT_NE(stream, nullptr) << decoder.lastError();
        const Pulled got = pullAll(*stream, 10 * kRate, 10s);
        EXPECT_TRUE(got.ended);
        EXPECT_EQ(rampRuns(got.frames), std::vector<std::size_t>{c.frames});
    }
}

// Stop returns promptly while the server stalls, and later pulls fail.
TEST_F(DecoderFaults, StopReturnsPromptlyDuringAStall) {
    FfmpegDecoder decoder;  // the real 20 s stall limit
    auto stream = decoder.openUrl(server.url("/stall"));
    ASSERT_NE(stream, nullptr) << decoder.lastError();
    // Take what arrived; then the server sends nothing and a pull waits
    // briefly and returns 0.
    std::vector<std::uint8_t> chunk(4096);
    std::size_t bytes = 0;
    std::int32_t n = 0;
    auto pullStart = Clock::now();
    while ((n = stream->pull(chunk.data(), 4096)) > 0) {
        bytes += static_cast<std::size_t>(n);
        pullStart = Clock::now();
    }
    EXPECT_EQ(n, 0);
    EXPECT_LT(Clock::now() - pullStart, 1s);
    EXPECT_GT(bytes, 8u * kRate);
    const auto stopStart = Clock::now();
    stream->stop();
    EXPECT_LT(Clock::now() - stopStart, 1500ms);
    EXPECT_EQ(stream->pull(chunk.data(), 4096), -1);
    const auto freeStart = Clock::now();
    stream.reset();
    EXPECT_LT(Clock::now() - freeStart, 1500ms);
}

}  // namespace
}  // namespace quenda::platform::test
