// The stream decoder against real servers: an Icecast 2 server on loopback fed
// by the ffmpeg tool with tones in every codec a station uses, and an HLS
// playlist behind a redirect.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/ffmpeg_decoder.h"
#include "test_support.h"

namespace quenda::platform::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kAmplitude = 0.5;

struct Codec {
    const char* name;
    std::vector<std::string> args;  // encoder, container and content type
};

const Codec kMp3{"mp3", {"-c:a", "libmp3lame", "-b:a", "128k", "-content_type", "audio/mpeg", "-f", "mp3"}};
const Codec kVorbis{"vorbis", {"-c:a", "libvorbis", "-q:a", "5", "-content_type", "application/ogg", "-f", "ogg"}};
const Codec kOpus{"opus", {"-c:a", "libopus", "-b:a", "128k", "-content_type", "audio/ogg", "-f", "ogg"}};
const Codec kAac{"aac", {"-c:a", "aac", "-b:a", "128k", "-content_type", "audio/aac", "-f", "adts"}};

// A tone source: left at `frequency`, right at 1.5 times it (stereo only).
std::string toneSource(double frequency, int rate, int channels) {
    auto sine = [](double f) { return "0.5*sin(2*PI*" + std::to_string(f) + "*t)"; };
    const std::string exprs = channels == 1 ? sine(frequency) : sine(frequency) + "|" + sine(1.5 * frequency);
    return "aevalsrc=" + exprs + ":s=" + std::to_string(rate) + ":c=" + (channels == 1 ? "mono" : "stereo");
}

// Pulls `seconds` of audio at `rate`, giving up after `limit`.
std::vector<float> pullSeconds(AudioStream& stream, double seconds, double rate, std::chrono::milliseconds limit) {
    const std::size_t want = static_cast<std::size_t>(seconds * rate) * 2;
    std::vector<float> frames(want);
    std::size_t have = 0;
    const auto end = Clock::now() + limit;
    while (have < want && Clock::now() < end) {
        const std::int32_t n = stream.pull(frames.data() + have, static_cast<std::uint32_t>((want - have) * 4));
        if (n < 0) break;
        have += static_cast<std::size_t>(n) / 4;
    }
    frames.resize(have / 2 * 2);
    return frames;
}

// Checks one channel of a decoded tone: its frequency and its level.
void expectTone(const std::vector<float>& frames, int channel, double frequency, double rate) {
    EXPECT_NEAR(zeroCrossingFrequency(frames, channel, rate), frequency, frequency * 0.01) << "channel " << channel;
    EXPECT_NEAR(rmsLevel(frames, channel), kAmplitude / std::sqrt(2.0), 0.1 * kAmplitude / std::sqrt(2.0))
        << "channel " << channel;
}

TEST(DecoderStreams, IcecastTonesInEveryCodecRateAndLayout) {
    if (!haveProgram("icecast2") || !haveProgram("ffmpeg")) GTEST_SKIP() << "icecast2 or ffmpeg missing";
    IcecastServer::Options options;
    options.fileserve = false;
    IcecastServer icecast(options);
    ASSERT_TRUE(icecast.ready()) << icecast.diagnostics();

    struct Case {
        const Codec& codec;
        int rate;
        int channels;
        double frequency;
    };
    const Case cases[] = {
        {kMp3, 44100, 2, 1000}, {kMp3, 48000, 1, 880},   {kVorbis, 44100, 1, 660}, {kVorbis, 48000, 2, 1000},
        {kOpus, 48000, 2, 440}, {kOpus, 48000, 1, 1000}, {kAac, 44100, 2, 880},    {kAac, 48000, 1, 440},
    };

    // Every case streams in real time, so they all run at once.
    std::vector<std::unique_ptr<ChildProcess>> feeders;
    std::vector<std::future<std::string>> results;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const std::string mount = "/" + std::string(c.codec.name) + std::to_string(i);
        std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                                         toneSource(c.frequency, c.rate, c.channels)};
        argv.insert(argv.end(), c.codec.args.begin(), c.codec.args.end());
        argv.push_back(icecast.sourceUrl(mount));
        feeders.push_back(std::make_unique<ChildProcess>(argv, icecast.dir().file("ffmpeg" + std::to_string(i))));
        results.push_back(std::async(std::launch::async, [&icecast, c, mount] {
            ::testing::ScopedTrace trace(__FILE__, __LINE__, std::string(c.codec.name) + " " +
                                                                 std::to_string(c.rate) + " Hz, " +
                                                                 std::to_string(c.channels) + " ch");
            FfmpegDecoder decoder;
            std::unique_ptr<AudioStream> stream;
            // The mount exists once the feeder has connected.
            for (const auto end = Clock::now() + 15s; !stream && Clock::now() < end;) {
                stream = decoder.openUrl(icecast.listenUrl(mount));
                if (!stream) std::this_thread::sleep_for(200ms);
            }
            if (!stream) return "cannot open " + mount + ": " + decoder.lastError();
            float rate = 0;
            EXPECT_TRUE(stream->sampleRate(rate));
            EXPECT_EQ(rate, static_cast<float>(c.rate));
            // Skip the encoder's start-up, then measure a second.
            const auto head = pullSeconds(*stream, 0.5, c.rate, 15s);
            const auto frames = pullSeconds(*stream, 1.0, c.rate, 15s);
            EXPECT_EQ(frames.size(), 2u * c.rate);
            expectTone(frames, 0, c.frequency, c.rate);
            expectTone(frames, 1, c.channels == 1 ? c.frequency : 1.5 * c.frequency, c.rate);
            if (c.channels == 1) {
                for (std::size_t i = 0; i < frames.size(); i += 2) {
                    if (frames[i] != frames[i + 1]) return "mono not duplicated at frame " + std::to_string(i / 2);
                }
            }
            const auto stopStart = Clock::now();
            stream->stop();
            EXPECT_LT(Clock::now() - stopStart, 1s);
            return std::string();
        }));
    }
    for (auto& r : results) EXPECT_EQ(r.get(), "");
    if (HasFailure()) ADD_FAILURE() << icecast.diagnostics();
}

// HTTPS: the ffmpeg tool serves a tone over TLS with a certificate made here.
TEST(DecoderStreams, HttpsStation) {
    if (!haveProgram("ffmpeg") || !haveProgram("openssl")) GTEST_SKIP() << "ffmpeg or openssl missing";
    TempDir dir;
    ChildProcess certificate({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                              "-days", "1", "-keyout", dir.file("key.pem"), "-out", dir.file("cert.pem")},
                             dir.file("openssl.log"));
    for (int i = 0; i < 300 && certificate.running(); ++i) std::this_thread::sleep_for(100ms);
    const int port = freeLoopbackPort();
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
    ChildProcess server({"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                         toneSource(1000, 44100, 2), "-c:a", "libmp3lame", "-b:a", "128k", "-f", "mp3", "-listen",
                         "1", "-cert_file", dir.file("cert.pem"), "-key_file", dir.file("key.pem"), url},
                        dir.file("ffmpeg.log"));
    // The server takes one client and then ends, so the only connection made
    // is the decoder's own: refused until the server listens.
    FfmpegDecoder decoder;
    std::unique_ptr<AudioStream> stream;
    for (const auto end = Clock::now() + 10s; !stream && Clock::now() < end;) {
        stream = decoder.openUrl(url);
        if (!stream) std::this_thread::sleep_for(200ms);
    }
    ASSERT_NE(stream, nullptr) << decoder.lastError() << readFile(dir.file("ffmpeg.log"));
    float rate = 0;
    ASSERT_TRUE(stream->sampleRate(rate));
    EXPECT_EQ(rate, 44100.0f);
    pullSeconds(*stream, 0.3, 44100, 10s);
    const auto frames = pullSeconds(*stream, 1.0, 44100, 10s);
    ASSERT_EQ(frames.size(), 2u * 44100);
    expectTone(frames, 0, 1000, 44100);
    expectTone(frames, 1, 1500, 44100);
}

// HLS behind a redirect: the playlist is followed segment by segment, and a
// finished playlist ends the stream instead of being reconnected.
TEST(DecoderStreams, HlsPlaylistBehindARedirect) {
    if (!haveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
    TempDir dir;
    ChildProcess make({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", toneSource(1000, 44100, 2),
                       "-t", "4", "-c:a", "aac", "-b:a", "128k", "-f", "hls", "-hls_time", "1",
                       "-hls_playlist_type", "vod", "-hls_segment_filename", dir.file("seg%d.ts"),
                       dir.file("list.m3u8")},
                      dir.file("ffmpeg.log"));
    for (int i = 0; i < 300 && make.running(); ++i) std::this_thread::sleep_for(100ms);
    ASSERT_FALSE(make.running());
    ASSERT_NE(readFile(dir.file("list.m3u8")).find("#EXT-X-ENDLIST"), std::string::npos) << readFile(dir.file("ffmpeg.log"));

    HttpServer server([&dir](const HttpServer::Request& r) {
        if (r.path == "/station") {
            HttpServer::send(r.fd, "HTTP/1.0 302 Found\r\nLocation: /hls/list.m3u8\r\n\r\n");
            return;
        }
        const std::string body = r.path.rfind("/hls/", 0) == 0 ? readFile(dir.file(r.path.substr(5))) : "";
        if (body.empty()) {
            HttpServer::send(r.fd, "HTTP/1.0 404 Not Found\r\n\r\n");
            return;
        }
        const bool list = r.path.ends_with(".m3u8");
        HttpServer::send(r.fd, std::string("HTTP/1.0 200 OK\r\nContent-Type: ") +
                                   (list ? "application/vnd.apple.mpegurl" : "video/mp2t") +
                                   "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    });
    FfmpegDecoder decoder;
    auto stream = decoder.openUrl(server.url("/station"));
    ASSERT_NE(stream, nullptr) << decoder.lastError();
    float rate = 0;
    ASSERT_TRUE(stream->sampleRate(rate));
    EXPECT_EQ(rate, 44100.0f);
    const auto frames = pullSeconds(*stream, 10, 44100, 10s);
    // Four seconds, give or take the encoder's priming and padding.
    EXPECT_NEAR(static_cast<double>(frames.size() / 2), 4.0 * 44100, 0.1 * 44100);
    const std::vector<float> middle(frames.begin() + 44100, frames.begin() + 3 * 2 * 44100);
    expectTone(middle, 0, 1000, 44100);
    expectTone(middle, 1, 1500, 44100);
    std::vector<float> more(64);
    EXPECT_EQ(stream->pull(more.data(), 256), -1);
}

}  // namespace
}  // namespace quenda::platform::test
