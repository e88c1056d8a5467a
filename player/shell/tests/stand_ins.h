// Stand-ins for the output layer, the decoder, the pipeline and the ends of the
// process, each writing what is done to it into one shared log so that tests
// can check the order of calls across them.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/decoder.h"
#include "platform/output.h"
#include "shell/exits.h"
#include "shell/main_window.h"
#include "shell/playback_engine.h"

namespace quenda::shell::testing {

// The one QApplication of a test program, on Qt's offscreen platform unless
// another one is asked for (the X server test runs the same tests on Xvfb).
inline QApplication& qtApp()
{
    static int argc = 1;
    static char name[] = "quenda_shell_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        auto* a = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return a;
    }();
    return *app;
}

// Serves window events until `done` or a few seconds have passed.
template <typename F>
bool serveUntil(F done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 5000) QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

using Log = std::vector<std::string>;

class FakeOutput : public platform::ExclusiveOutput {
public:
    explicit FakeOutput(Log& log) : log_(log) {}

    int format = platform::FormatFloat32;
    int error = platform::ErrorNone;
    bool opens = true;

    void setNotify(bool enabled) override { log_.push_back(std::string("output.setNotify ") + (enabled ? "on" : "off")); }
    int checkFormat(int rate, int channels) override
    {
        log_.push_back("output.checkFormat " + std::to_string(rate) + " " + std::to_string(channels));
        return format;
    }
    int lastError() const override { return error; }
    bool init(int rate, float bufferSeconds, float periodSeconds, platform::OutputCallback cb, void* user) override
    {
        log_.push_back("output.init " + std::to_string(rate) + " " + std::to_string(bufferSeconds) + " " +
                       std::to_string(periodSeconds));
        callback = cb;
        callbackUser = user;
        return opens;
    }
    bool start() override
    {
        log_.push_back("output.start");
        return true;
    }
    void stop(bool discard) override { log_.push_back(std::string("output.stop ") + (discard ? "discard" : "keep")); }
    void free() override { log_.push_back("output.free"); }
    bool deviceLost() const override { return lost.load(); }
    std::string lastErrorText() const override { return lost.load() ? "snd_pcm_writei: No such device" : ""; }

    std::atomic<bool> lost{false};
    platform::OutputCallback callback = nullptr;
    void* callbackUser = nullptr;

private:
    Log& log_;
};

class FakeStream : public platform::AudioStream {
public:
    FakeStream(Log& log, float rate, bool rateKnown) : log_(log), rate_(rate), rateKnown_(rateKnown) {}
    ~FakeStream() override { log_.push_back("stream.free"); }

    bool sampleRate(float& rate) const override
    {
        if (rateKnown_) rate = rate_;
        return rateKnown_;
    }
    std::int32_t pull(void*, std::uint32_t) override { return -1; }
    void stop() override { log_.push_back("stream.stop"); }

private:
    Log& log_;
    float rate_;
    bool rateKnown_;
};

// Opens every address except those starting with "bad:".
class FakeDecoder : public platform::StreamDecoder {
public:
    FakeDecoder(Log& log, float rate, bool rateKnown) : log_(log), rate_(rate), rateKnown_(rateKnown)
    {
        log_.push_back("decoder.init");
    }
    ~FakeDecoder() override { log_.push_back("decoder.free"); }

    void setNetBufferMilliseconds(int ms) override { log_.push_back("decoder.netBuffer " + std::to_string(ms)); }
    std::unique_ptr<platform::AudioStream> openUrl(const std::string& url) override
    {
        log_.push_back("decoder.open " + url);
        if (url.starts_with("bad:")) return nullptr;
        return std::make_unique<FakeStream>(log_, rate_, rateKnown_);
    }

private:
    Log& log_;
    float rate_;
    bool rateKnown_;
};

class FakeEngine : public PlaybackEngine {
public:
    FakeEngine(Log& log, EngineHooks hooks) : hooks(std::move(hooks)), log_(log) { log_.push_back("engine.create"); }
    ~FakeEngine() override
    {
        if (pumpThread.joinable()) pumpThread.join();
    }

    void startPump(platform::SampleSource& source, float rate) override
    {
        log_.push_back("engine.startPump " + std::to_string(rate));
        if (threadsFail) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        this->source = &source;
    }
    void startKernel(std::int64_t n) override
    {
        log_.push_back("engine.startKernel " + std::to_string(n));
        kernelBusy = true;
    }
    bool kernelRunning() const override { return kernelBusy.load(); }
    platform::OutputCallback outputCallback() const override { return &FakeEngine::callback; }
    void* callbackUser() override { return this; }
    void stopPump() override { log_.push_back("engine.stopPump"); }

    static std::uint32_t callback(void*, std::uint32_t length, void*) { return length; }

    EngineHooks hooks;
    platform::SampleSource* source = nullptr;
    std::atomic<bool> kernelBusy{false};
    bool threadsFail = false;  // no thread can be started
    std::thread pumpThread;

private:
    Log& log_;
};

// Records the boxes and the end instead of showing and ending anything.
class RecordingExits : public Exits {
public:
    explicit RecordingExits(Log& log) : log_(log) {}

    void showPowerOnNotice() override { log_.push_back("box Power on USB-DAC"); }

    std::vector<std::string> finalTexts;
    int ends = 0;
    bool windowShownAtFinalBox = false;

protected:
    void showFinalBox(const QString& text) override
    {
        log_.push_back("box ERROR");
        finalTexts.push_back(text.toStdString());
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<MainWindow*>(w) && w->isVisible()) windowShownAtFinalBox = true;
    }
    void endProcess() override
    {
        log_.push_back("end");
        ++ends;
    }

private:
    Log& log_;
};

}  // namespace quenda::shell::testing
