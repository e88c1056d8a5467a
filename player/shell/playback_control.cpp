#include "shell/playback_control.h"

#include <cstdio>
#include <system_error>

#include "pipeline/settings.h"

namespace quenda::shell {

std::int64_t kernelHalfLengthFromOptions(const MainWindow& window)
{
    if (window.isOptionSelected(Option26Id)) return 16384;
    if (window.isOptionSelected(Option108Id)) return 4096;
    if (window.isOptionSelected(Option215Id)) return 2048;
    if (window.isOptionSelected(Option431Id)) return 1024;
    if (window.isOptionSelected(Option861Id)) return 512;
    return 256;
}

const Station* findStation(const std::vector<Station>& stations, std::string_view selectedText)
{
    for (const Station& station : stations)
        if (station.label == selectedText || station.title == selectedText) return &station;
    return nullptr;
}

namespace {

// One line on standard error for a failure the window does not report.
void note(const std::string& what, const std::string& reason)
{
    if (reason.empty())
        std::fprintf(stderr, "quenda: %s\n", what.c_str());
    else
        std::fprintf(stderr, "quenda: %s: %s\n", what.c_str(), reason.c_str());
    std::fflush(stderr);
}

}  // namespace

PlaybackControl::PlaybackControl(PlaybackParts parts) : parts_(std::move(parts))
{
    connect(&parts_.window, &MainWindow::controlPressed, this, &PlaybackControl::onControlPressed);
    connect(&parts_.window, &MainWindow::closeRequested, this, &PlaybackControl::onCloseRequested);
    kernelPoll_.setInterval(KernelPollMilliseconds);
    connect(&kernelPoll_, &QTimer::timeout, this, &PlaybackControl::pollKernel);
    devicePoll_.setInterval(DevicePollMilliseconds);
    connect(&devicePoll_, &QTimer::timeout, this, &PlaybackControl::pollDevice);
}

PlaybackControl::~PlaybackControl()
{
    // Only reached with playback running when the process did not end through
    // Exits (tests): release in teardown order all the same.
    kernelPoll_.stop();
    devicePoll_.stop();
    if (engine_) engine_->stopPump();
    if (outputOpened_) {
        parts_.output.stop(true);
        parts_.output.free();
    }
    if (stream_) stream_->stop();
    stream_.reset();
    engine_.reset();
    decoder_.reset();
}

void PlaybackControl::onControlPressed(int id)
{
    if (state_ == State::Picking && id == PlayButtonId) play();
}

void PlaybackControl::onCloseRequested()
{
    switch (state_) {
    case State::Picking:
        state_ = State::Ended;
        parts_.exits.exitWithMessage(ClosedBeforePlaybackMessage);
        return;
    case State::Starting:
        return;  // dropped: the kernel is still being computed
    case State::Playing:
        engine_->stopPump();
        parts_.output.stop(true);
        teardownAndExit();
        return;
    case State::Ended:
        return;
    }
}

void PlaybackControl::play()
{
    const std::string selectedText = parts_.window.selectedTreeText().toStdString();
    parts_.clearSampleMemory();
    kernelHalfLength_ = kernelHalfLengthFromOptions(parts_.window);

    const Station* station = findStation(parts_.stations, selectedText);
    if (!station) return;
    url_ = station->url;
    const std::string title = parts_.formatName + " : " + station->title;

    decoder_ = parts_.makeDecoder();
    decoder_->setNetBufferMilliseconds(PlayerSettings.NetBufferMilliseconds);
    if (url_.empty()) {
        decoder_.reset();
        return;
    }
    stream_ = decoder_->openUrl(url_);
    if (!stream_) {
        note("cannot open " + url_, decoder_->lastError());
        decoder_.reset();
        return;  // still picking: another station may be tried
    }
    if (!stream_->sampleRate(reportedRate_) || !platform::isUsableSampleRate(reportedRate_)) {
        stream_.reset();
        decoder_.reset();
        state_ = State::Ended;
        parts_.exits.exitWithMessage(RateUnreadableMessage);
        return;
    }
    streamRate_ = static_cast<std::int64_t>(reportedRate_);  // toward zero

    parts_.window.enterPlaybackLayout(QString::fromStdString(title));
    state_ = State::Starting;

    MainWindow* window = &parts_.window;
    engine_ = parts_.makeEngine(EngineHooks{
        .progress = [window](std::int64_t got, std::int64_t total) { window->setProgress(got, total); },
        .streamEnded = [window] { window->showStreamEnded(); },
    });
    try {
        engine_->startPump(*stream_, reportedRate_);
        parts_.raiseProcessPriority();
        engine_->startKernel(kernelHalfLength_);
    } catch (const std::system_error& e) {
        // No thread to be had (a process or memory limit): say so rather than crash.
        engine_->stopPump();
        stream_->stop();
        stream_.reset();
        decoder_.reset();
        state_ = State::Ended;
        note("cannot start the playback threads", e.what());
        parts_.exits.exitWithMessage(ThreadsUnavailableMessage);
        return;
    }

    // The window keeps serving its events while the kernel is computed.
    kernelPoll_.start();
    pollKernel();
}

void PlaybackControl::pollKernel()
{
    if (state_ != State::Starting || engine_->kernelRunning()) return;
    kernelPoll_.stop();

    outputOpened_ = parts_.output.init(static_cast<int>(streamRate_ * 2),
                                       static_cast<float>(PlayerSettings.OutputBufferSeconds), 0.0f,
                                       engine_->outputCallback(), engine_->callbackUser());
    if (!outputOpened_) {
        note("cannot open the output device at " + std::to_string(streamRate_ * 2) + " Hz",
             parts_.output.lastErrorText());
        engine_->stopPump();
        teardownAndExit();
        return;
    }
    parts_.output.start();
    state_ = State::Playing;
    devicePoll_.start();
}

void PlaybackControl::pollDevice()
{
    if (state_ != State::Playing || !parts_.output.deviceLost()) return;
    // The device went away (a USB converter unplugged): the strip says so
    // instead of looking as if it played on.
    devicePoll_.stop();
    parts_.window.showOutputLost();
    note("the output device was lost", parts_.output.lastErrorText());
}

void PlaybackControl::teardownAndExit()
{
    // The pump is stopped before the stream goes, the output before the device.
    state_ = State::Ended;
    parts_.output.free();
    outputOpened_ = false;
    stream_->stop();
    stream_.reset();
    decoder_.reset();
    parts_.exits.exitQuietly();
}

}  // namespace quenda::shell
