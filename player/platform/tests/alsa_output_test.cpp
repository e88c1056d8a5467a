// The exclusive output against ALSA's own plugins, configured here: a file
// over null that captures what the callback produced, devices that restrict
// formats and rates, missing and unreachable devices, and a PulseAudio null
// sink for real-time pacing.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/alsa_output.h"
#include "test_support.h"

// Faults inside the third-party plugins the tests load, not in this code: the
// a52 plugin keeps the parameters it allocates at open, and libpulse's mutexes
// are set up where ThreadSanitizer cannot see them. LeakSanitizer needs full
// stacks to see the plugin's frame.
extern "C" const char* __lsan_default_suppressions() { return "leak:_snd_pcm_a52_open\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __tsan_default_suppressions() { return "race:libpulsecommon\nrace:libpulse.so\n"; }

namespace quenda::platform::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Devices every case can use, in an ALSA configuration of the test's own that
// the library reads through ALSA_CONFIG_PATH.
class AlsaOutputTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        writeFile(dir_->file("asound.conf"),
                  "</usr/share/alsa/alsa.conf>\n"
                  // Takes anything, as fast as it is written, into a file.
                  "pcm.quenda_capture { type file slave.pcm \"null\" file \"" + dir_->file("capture.raw") +
                      "\" format \"raw\" }\n"
                  // Integer samples only: float is converted on the way.
                  "pcm.quenda_integer { type linear slave { pcm \"null\" format S16_LE } }\n"
                  // A device fixed at 48 kHz, integer samples only (an AC-3 encoder).
                  "pcm.quenda_48k { type a52 slavepcm \"null\" rate 48000 channels 2 }\n"
                  // A sound server that is not there.
                  "pcm.quenda_unreachable { type pulse server \"unix:" + dir_->file("nobody-here") + "\" }\n"
                  // A PulseAudio null sink, started by the tests that use it.
                  "pcm.quenda_paced { type pulse server \"unix:" + PulseNullSink::socketPath(*dir_) + "\" }\n");
        setenv("ALSA_CONFIG_PATH", dir_->file("asound.conf").c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static TempDir* dir_;
};
TempDir* AlsaOutputTest::dir_ = nullptr;

TEST_F(AlsaOutputTest, ProbeReportsTheNativeFormatOrWhyNot) {
    struct Case {
        const char* device;
        int rate;
        int format;
        int error;
    };
    const Case cases[] = {
        {"quenda_capture", 88200, FormatFloat32, ErrorNone},
        {"quenda_integer", 88200, FormatInt32, ErrorNone},
        {"quenda_48k", 48000, FormatInt32, ErrorNone},
        {"quenda_48k", 88200, FormatUnsupported, ErrorFormat},
        {"hw:31", 88200, FormatUnsupported, ErrorDevice},
        {"quenda_no_such_device", 88200, FormatUnsupported, ErrorDevice},
        {"quenda_unreachable", 88200, FormatUnsupported, ErrorDriverInit},
    };
    for (const Case& c : cases) {
        AlsaOutput output(c.device, c.device);
        EXPECT_EQ(output.checkFormat(c.rate, 2), c.format) << c.device << " at " << c.rate;
        EXPECT_EQ(output.lastError(), c.error) << c.device << " at " << c.rate << ": " << output.lastErrorText();
    }
}

TEST_F(AlsaOutputTest, BrokenConfigurationMeansNoSoundSystem) {
    const std::string good = std::getenv("ALSA_CONFIG_PATH");
    writeFile(dir_->file("broken.conf"), "pcm.quenda { type null \n");
    setenv("ALSA_CONFIG_PATH", dir_->file("broken.conf").c_str(), 1);
    AlsaOutput output("quenda_capture", "quenda_capture");
    EXPECT_EQ(output.checkFormat(88200, 2), FormatUnsupported);
    EXPECT_EQ(output.lastError(), ErrorNotAvailable) << output.lastErrorText();
    EXPECT_FALSE(output.init(88200, 0.016f, 0, [](void*, std::uint32_t n, void*) { return n; }, nullptr));
    EXPECT_EQ(output.lastError(), ErrorNotAvailable);
    setenv("ALSA_CONFIG_PATH", good.c_str(), 1);
    EXPECT_EQ(output.checkFormat(88200, 2), FormatFloat32);
    EXPECT_EQ(output.lastError(), ErrorNone);
}

TEST_F(AlsaOutputTest, InitRefusesWhatTheDeviceCannotPlay) {
    struct Case {
        const char* device;
        int rate;
        int error;
    };
    const Case cases[] = {
        {"plug:quenda_48k", 88200, ErrorFormat},  // no resampling behind the player's back
        {"plughw:31", 88200, ErrorDevice},
        {"quenda_unreachable", 88200, ErrorDriverInit},
    };
    for (const Case& c : cases) {
        AlsaOutput output(c.device, c.device);
        EXPECT_FALSE(output.init(c.rate, 0.016f, 0, [](void*, std::uint32_t n, void*) { return n; }, nullptr));
        EXPECT_EQ(output.lastError(), c.error) << c.device << ": " << output.lastErrorText();
        EXPECT_FALSE(output.start());
        output.stop(true);
        output.free();
    }
}

// Counts the bytes handed out; every byte is a float that tells its own position.
struct Producer {
    std::atomic<std::uint64_t> frames{0};
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::vector<std::uint32_t> sizes;
    // Past this many frames every request waits a little, so that a device
    // that takes data as fast as it comes does not fill the disk.
    std::uint64_t throttleAfter = UINT64_MAX;

    static std::uint32_t callback(void* buffer, std::uint32_t length, void* user) {
        auto* self = static_cast<Producer*>(user);
        const int call = self->calls.fetch_add(1);
        (void)call;
        if (self->frames.load() >= self->throttleAfter) std::this_thread::sleep_for(1ms);
        {
            const std::lock_guard<std::mutex> lock(self->mutex);
            if (self->sizes.size() < 64) self->sizes.push_back(length);
        }
        auto* out = static_cast<float*>(buffer);
        std::uint64_t frame = self->frames.load();
        for (std::uint32_t i = 0; i < length / 8; ++i, ++frame) {
            out[2 * i] = static_cast<float>(frame % 1'000'000);
            out[2 * i + 1] = -static_cast<float>(frame % 1'000'000);
        }
        self->frames.store(frame);
        return length;
    }
};

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The default names are ALSA's "hw" and "plughw", so the configuration decides
// which card plays.
TEST_F(AlsaOutputTest, DefaultDevicesAreWhateverTheConfigurationNames) {
    const std::string suite = std::getenv("ALSA_CONFIG_PATH");
    writeFile(dir_->file("defaults.conf"), "</usr/share/alsa/alsa.conf>\n"
                                          "pcm.!hw { type linear slave { pcm \"null\" format S16_LE } }\n"
                                          "pcm.!plughw { type file slave.pcm \"null\" file \"" +
                                              dir_->file("default.raw") + "\" format \"raw\" }\n");
    setenv("ALSA_CONFIG_PATH", dir_->file("defaults.conf").c_str(), 1);
    {
        AlsaOutput output;
        EXPECT_EQ(output.checkFormat(96000, 2), FormatInt32) << output.lastErrorText();
        Producer producer;
        producer.throttleAfter = 4800;
        ASSERT_TRUE(output.init(96000, 0.016f, 0, &Producer::callback, &producer)) << output.lastErrorText();
        ASSERT_TRUE(output.start());
        EXPECT_TRUE(waitFor([&] { return producer.frames.load() >= 4800; }, 10s));
        output.stop(true);
        output.free();
    }
    setenv("ALSA_CONFIG_PATH", suite.c_str(), 1);
    EXPECT_GT(readFile(dir_->file("default.raw")).size(), 0u);
}

// What reaches the device is exactly what the callback produced, in order, for
// any period size the callback is asked for.
TEST_F(AlsaOutputTest, DeviceGetsExactlyWhatTheCallbackProduced) {
    for (const float period : {0.0f, 0.002f, 0.005f}) {
        SCOPED_TRACE("period " + std::to_string(period));
        Producer producer;
        producer.throttleAfter = 44100;
        AlsaOutput output("quenda_capture", "quenda_capture");
        ASSERT_TRUE(output.init(88200, 0.016f, period, &Producer::callback, &producer)) << output.lastErrorText();
        EXPECT_GE(output.bufferFrames(), 2 * output.periodFrames());
        EXPECT_NEAR(static_cast<double>(output.bufferFrames()), 0.016 * 88200, 0.5 * 0.016 * 88200);
        ASSERT_TRUE(output.start());
        ASSERT_TRUE(waitFor([&] { return producer.frames.load() >= 44100; }, 10s));
        const unsigned long periodFrames = output.periodFrames();
        output.stop(false);
        output.free();
        for (const std::uint32_t size : producer.sizes) EXPECT_EQ(size, periodFrames * 8);

        const std::string raw = readFile(dir_->file("capture.raw"));
        ASSERT_EQ(raw.size() % 8, 0u);
        const std::size_t captured = raw.size() / 8;
        // Everything but the request cut short by the stop reaches the device.
        EXPECT_GE(captured, 44100u);
        EXPECT_LE(captured, producer.frames.load());
        std::vector<float> samples(raw.size() / 4);
        std::memcpy(samples.data(), raw.data(), raw.size());
        for (std::size_t i = 0; i < captured; ++i) {
            ASSERT_EQ(samples[2 * i], static_cast<float>(i % 1'000'000)) << "frame " << i;
            ASSERT_EQ(samples[2 * i + 1], -static_cast<float>(i % 1'000'000)) << "frame " << i;
        }
    }
}

// On a device that plays in real time the callback is asked at the device's
// pace; a device that goes away ends the output thread without a crash.
TEST_F(AlsaOutputTest, PacedDeviceAndItsDisappearance) {
    if (!haveProgram("pulseaudio")) GTEST_SKIP() << "pulseaudio missing";
    PulseNullSink pulse(*dir_);
    ASSERT_TRUE(pulse.waitReady()) << pulse.log();

    AlsaOutput output("quenda_paced", "quenda_paced");
    EXPECT_EQ(output.checkFormat(88200, 2), FormatFloat32) << output.lastErrorText();
    Producer producer;
    // A longer buffer than the player's: on a loaded test machine a 16 ms
    // buffer underruns, and the sound server is slow to resume after that.
    ASSERT_TRUE(output.init(88200, 0.1f, 0, &Producer::callback, &producer)) << output.lastErrorText();
    ASSERT_TRUE(output.start());
    // The sound server takes a few buffers at once and then a moment to start
    // playing; past that, two seconds of audio take about two seconds.
    ASSERT_TRUE(waitFor([&] { return producer.frames.load() > 88200 / 2; }, 10s));
    const std::uint64_t before = producer.frames.load();
    std::this_thread::sleep_for(2s);
    const double played = static_cast<double>(producer.frames.load() - before) / 88200;
    EXPECT_GT(played, 1.0);
    EXPECT_LT(played, 4.0);
    EXPECT_FALSE(output.deviceLost());

    pulse.kill();
    EXPECT_TRUE(waitFor([&] { return output.deviceLost(); }, 5s));
    // The loss and its reason reach whoever holds the plain interface.
    const ExclusiveOutput& asPlayed = output;
    EXPECT_TRUE(asPlayed.deviceLost());
    EXPECT_NE(asPlayed.lastErrorText().find("snd_pcm_writei"), std::string::npos) << asPlayed.lastErrorText();
    const int calls = producer.calls.load();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(producer.calls.load(), calls + 1);
    output.stop(true);
    output.free();
}

}  // namespace
}  // namespace quenda::platform::test
