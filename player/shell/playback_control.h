// The event loop's side of the player: PLAY, the start of playback, the close
// box in every state, and the teardown.
#pragma once

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/decoder.h"
#include "platform/output.h"
#include "shell/exits.h"
#include "shell/main_window.h"
#include "shell/playback_engine.h"
#include "shell/playlist.h"

namespace quenda::shell {

// N for the selected option: 16384 for "2.6", 4096 for "10.8", 2048 for
// "21.5", 1024 for "43.1", 512 for "86.1", 256 when none is selected.
std::int64_t kernelHalfLengthFromOptions(const MainWindow& window);

// The first station in file order whose label or title is `selectedText`.
const Station* findStation(const std::vector<Station>& stations, std::string_view selectedText);

struct PlaybackParts {
    MainWindow& window;
    const std::vector<Station>& stations;
    std::string formatName;
    std::function<void()> clearSampleMemory;  // the eight buffers, in start-up order
    DecoderFactory makeDecoder;
    platform::ExclusiveOutput& output;
    EngineFactory makeEngine;
    std::function<void()> raiseProcessPriority;
    Exits& exits;
};

class PlaybackControl : public QObject {
    Q_OBJECT

public:
    enum class State {
        Picking,   // until a PLAY gets a stream and its rate
        Starting,  // the kernel is being computed; close requests are dropped
        Playing,   // until the close box
        Ended,     // the process has been ended
    };

    // Listens to the window's presses and close requests. The window must
    // outlive this object.
    explicit PlaybackControl(PlaybackParts parts);
    ~PlaybackControl() override;

    State state() const { return state_; }
    // N as the last PLAY took it from the options.
    std::int64_t kernelHalfLength() const { return kernelHalfLength_; }
    // How often the kernel thread is asked whether it still runs.
    static constexpr int KernelPollMilliseconds = 100;
    // How often a playing output is asked whether its device is still there.
    static constexpr int DevicePollMilliseconds = 250;

    void onControlPressed(int id);
    void onCloseRequested();

private:
    void play();
    void pollKernel();
    void pollDevice();
    void teardownAndExit();

    PlaybackParts parts_;
    State state_ = State::Picking;
    std::int64_t kernelHalfLength_ = 0;
    std::string url_;
    float reportedRate_ = 0;
    std::int64_t streamRate_ = 0;
    std::unique_ptr<platform::StreamDecoder> decoder_;
    std::unique_ptr<platform::AudioStream> stream_;
    std::unique_ptr<PlaybackEngine> engine_;
    bool outputOpened_ = false;
    QTimer kernelPoll_;
    QTimer devicePoll_;
};

}  // namespace quenda::shell
