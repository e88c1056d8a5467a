// The exclusive output over ALSA: direct access to a sound card with no sound
// server mixing in. The format probe looks at the card's hardware device; the
// audio goes to the same card through ALSA's plug layer, which converts the
// player's float to whatever the card takes.
#pragma once

#include <atomic>
#include <string>

#include "platform/output.h"
#include "platform/threads.h"

typedef struct _snd_pcm snd_pcm_t;

namespace quenda::platform {

class AlsaOutput : public ExclusiveOutput {
public:
    // `hwDevice` is probed for its native format, `plugDevice` is played
    // through. The defaults are the default card's hardware device and its plug
    // form, so ALSA's configuration decides which card that is.
    explicit AlsaOutput(std::string hwDevice = "hw", std::string plugDevice = "plughw");
    ~AlsaOutput() override;
    AlsaOutput(const AlsaOutput&) = delete;
    AlsaOutput& operator=(const AlsaOutput&) = delete;

    // Notifications of device changes are not offered; the player keeps them off.
    void setNotify(bool) override {}
    int checkFormat(int rate, int channels) override;
    int lastError() const override { return lastError_; }
    bool init(int rate, float bufferSeconds, float periodSeconds, OutputCallback callback, void* user) override;
    bool start() override;
    void stop(bool discard) override;
    void free() override;

    // The failing call and ALSA's reason for the last failure, or for the loss
    // of the device while playing; empty after a success.
    std::string lastErrorText() const override;
    // Frames per callback request and in the device buffer, once open.
    unsigned long periodFrames() const { return periodFrames_; }
    unsigned long bufferFrames() const { return bufferFrames_; }
    // The output thread ended by itself because the device went away.
    bool deviceLost() const override { return deviceLost_.load(std::memory_order_acquire); }

private:
    void fail(int code, const std::string& call, int alsaError);
    // Opens `name` for playback, or records why it could not and returns null.
    snd_pcm_t* openPlayback(const std::string& name);
    void succeed();
    void play(std::stop_token stop);

    const std::string hwDevice_;
    const std::string plugDevice_;
    int lastError_ = ErrorNone;
    std::string lastErrorText_;

    snd_pcm_t* pcm_ = nullptr;
    OutputCallback callback_ = nullptr;
    void* user_ = nullptr;
    unsigned long periodFrames_ = 0;
    unsigned long bufferFrames_ = 0;
    // Written by the output thread before it sets deviceLost_, read only after
    // deviceLost_ is seen set, so the flag orders the two.
    std::string lostReason_;
    std::atomic<bool> deviceLost_{false};
    Thread thread_;
};

}  // namespace quenda::platform
