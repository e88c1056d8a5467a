#include "platform/alsa_output.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace quenda::platform {
namespace {

constexpr int kChannels = 2;
constexpr std::size_t kFrameBytes = kChannels * sizeof(float);
// How long the output thread sleeps on the device before it looks at its stop
// request again.
constexpr int kWaitMilliseconds = 100;

struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmPtr = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct HwParamsFreer {
    void operator()(snd_pcm_hw_params_t* p) const { snd_pcm_hw_params_free(p); }
};
struct SwParamsFreer {
    void operator()(snd_pcm_sw_params_t* p) const { snd_pcm_sw_params_free(p); }
};

// What an open failure means for the player: the device is missing, or it is
// there but cannot be opened.
int openErrorCode(int alsaError) {
    switch (-alsaError) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return ErrorDevice;
        default:
            return ErrorDriverInit;
    }
}

// The probe's order: the richest format first.
struct ProbeFormat {
    snd_pcm_format_t format;
    FormatCode code;
};
constexpr ProbeFormat kProbeOrder[] = {
    {SND_PCM_FORMAT_FLOAT, FormatFloat32}, {SND_PCM_FORMAT_S32, FormatInt32},
    {SND_PCM_FORMAT_S24, FormatInt24},     {SND_PCM_FORMAT_S24_3LE, FormatInt24},
    {SND_PCM_FORMAT_S16, FormatInt16},     {SND_PCM_FORMAT_S8, FormatInt8},
    {SND_PCM_FORMAT_U8, FormatInt8},
};

// ALSA prints its errors to stderr; the reasons reach lastErrorText() instead.
void silentErrors(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

AlsaOutput::AlsaOutput(std::string hwDevice, std::string plugDevice)
    : hwDevice_(std::move(hwDevice)), plugDevice_(std::move(plugDevice)) {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&silentErrors); });
}

AlsaOutput::~AlsaOutput() { free(); }

void AlsaOutput::fail(int code, const std::string& call, int alsaError) {
    lastError_ = code;
    lastErrorText_ = call + ": " + snd_strerror(alsaError);
}

std::string AlsaOutput::lastErrorText() const {
    if (lastErrorText_.empty() && deviceLost()) return lostReason_;
    return lastErrorText_;
}

void AlsaOutput::succeed() {
    lastError_ = ErrorNone;
    lastErrorText_.clear();
}

snd_pcm_t* AlsaOutput::openPlayback(const std::string& name) {
    // ALSA's configuration is read afresh: the user (or a test) may have
    // changed which card the default names stand for since the last open.
    int err = snd_config_update();
    if (err < 0) {
        fail(ErrorNotAvailable, "snd_config_update", err);
        return nullptr;
    }
    // Non-blocking, so that the output thread waits with a time limit and a
    // stop request is seen even when the device stalls.
    snd_pcm_t* raw = nullptr;
    err = snd_pcm_open(&raw, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) {
        fail(openErrorCode(err), "snd_pcm_open " + name, err);
        return nullptr;
    }
    return raw;
}

int AlsaOutput::checkFormat(int rate, int channels) {
    const PcmPtr pcm(openPlayback(hwDevice_));
    if (!pcm) return FormatUnsupported;
    snd_pcm_t* raw = pcm.get();
    int err = 0;
    snd_pcm_hw_params_t* params = nullptr;
    if ((err = snd_pcm_hw_params_malloc(&params)) < 0) {
        fail(ErrorNotAvailable, "snd_pcm_hw_params_malloc", err);
        return FormatUnsupported;
    }
    const std::unique_ptr<snd_pcm_hw_params_t, HwParamsFreer> owner(params);
    if ((err = snd_pcm_hw_params_any(raw, params)) < 0) {
        fail(ErrorDriverInit, "snd_pcm_hw_params_any " + hwDevice_, err);
        return FormatUnsupported;
    }
    if (channels <= 0 || (err = snd_pcm_hw_params_set_channels(raw, params, static_cast<unsigned>(channels))) < 0) {
        fail(ErrorFormat, "snd_pcm_hw_params_set_channels", channels <= 0 ? -EINVAL : err);
        return FormatUnsupported;
    }
    if (rate <= 0 || (err = snd_pcm_hw_params_set_rate(raw, params, static_cast<unsigned>(rate), 0)) < 0) {
        fail(ErrorFormat, "snd_pcm_hw_params_set_rate " + std::to_string(rate), rate <= 0 ? -EINVAL : err);
        return FormatUnsupported;
    }
    for (const ProbeFormat& probe : kProbeOrder) {
        if (snd_pcm_hw_params_test_format(raw, params, probe.format) == 0) {
            succeed();
            return probe.code;
        }
    }
    fail(ErrorFormat, "snd_pcm_hw_params_test_format", -EINVAL);
    return FormatUnsupported;
}

bool AlsaOutput::init(int rate, float bufferSeconds, float periodSeconds, OutputCallback callback, void* user) {
    free();
    PcmPtr pcm(openPlayback(plugDevice_));
    if (!pcm) return false;
    snd_pcm_t* raw = pcm.get();
    int err = 0;

    snd_pcm_hw_params_t* hw = nullptr;
    if ((err = snd_pcm_hw_params_malloc(&hw)) < 0) {
        fail(ErrorNotAvailable, "snd_pcm_hw_params_malloc", err);
        return false;
    }
    const std::unique_ptr<snd_pcm_hw_params_t, HwParamsFreer> hwOwner(hw);
    auto refuse = [&](const char* call, int code) {
        fail(code, std::string(call) + " " + plugDevice_, err);
        return false;
    };
    if ((err = snd_pcm_hw_params_any(raw, hw)) < 0) return refuse("snd_pcm_hw_params_any", ErrorDriverInit);
    // Exclusive means the card runs at the player's rate: no resampling.
    if ((err = snd_pcm_hw_params_set_rate_resample(raw, hw, 0)) < 0)
        return refuse("snd_pcm_hw_params_set_rate_resample", ErrorDriverInit);
    if ((err = snd_pcm_hw_params_set_access(raw, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0)
        return refuse("snd_pcm_hw_params_set_access", ErrorFormat);
    if ((err = snd_pcm_hw_params_set_format(raw, hw, SND_PCM_FORMAT_FLOAT)) < 0)
        return refuse("snd_pcm_hw_params_set_format", ErrorFormat);
    if ((err = snd_pcm_hw_params_set_channels(raw, hw, kChannels)) < 0)
        return refuse("snd_pcm_hw_params_set_channels", ErrorFormat);
    if (rate <= 0) {
        err = -EINVAL;
        return refuse("snd_pcm_hw_params_set_rate", ErrorFormat);
    }
    if ((err = snd_pcm_hw_params_set_rate(raw, hw, static_cast<unsigned>(rate), 0)) < 0)
        return refuse("snd_pcm_hw_params_set_rate", ErrorFormat);
    if (bufferSeconds > 0) {
        unsigned bufferUs = static_cast<unsigned>(bufferSeconds * 1e6f);
        if ((err = snd_pcm_hw_params_set_buffer_time_near(raw, hw, &bufferUs, nullptr)) < 0)
            return refuse("snd_pcm_hw_params_set_buffer_time_near", ErrorFormat);
    }
    if (periodSeconds > 0) {
        unsigned periodUs = static_cast<unsigned>(periodSeconds * 1e6f);
        if ((err = snd_pcm_hw_params_set_period_time_near(raw, hw, &periodUs, nullptr)) < 0)
            return refuse("snd_pcm_hw_params_set_period_time_near", ErrorFormat);
    } else {
        // The device's default period, but at least two of them in the buffer so
        // that one is filled while the other plays.
        unsigned periods = 2;
        snd_pcm_hw_params_set_periods_min(raw, hw, &periods, nullptr);
    }
    if ((err = snd_pcm_hw_params(raw, hw)) < 0) return refuse("snd_pcm_hw_params", ErrorFormat);

    snd_pcm_uframes_t period = 0;
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_hw_params_get_period_size(hw, &period, nullptr);
    snd_pcm_hw_params_get_buffer_size(hw, &buffer);
    if (period == 0 || buffer == 0) {
        err = -EINVAL;
        return refuse("snd_pcm_hw_params_get_period_size", ErrorFormat);
    }

    snd_pcm_sw_params_t* sw = nullptr;
    if ((err = snd_pcm_sw_params_malloc(&sw)) < 0) return refuse("snd_pcm_sw_params_malloc", ErrorNotAvailable);
    const std::unique_ptr<snd_pcm_sw_params_t, SwParamsFreer> swOwner(sw);
    if ((err = snd_pcm_sw_params_current(raw, sw)) < 0) return refuse("snd_pcm_sw_params_current", ErrorDriverInit);
    // Start once the buffer is full; wake when a whole period fits.
    snd_pcm_sw_params_set_start_threshold(raw, sw, buffer - buffer % period);
    snd_pcm_sw_params_set_avail_min(raw, sw, period);
    if ((err = snd_pcm_sw_params(raw, sw)) < 0) return refuse("snd_pcm_sw_params", ErrorDriverInit);

    pcm_ = pcm.release();
    callback_ = callback;
    user_ = user;
    periodFrames_ = period;
    bufferFrames_ = buffer;
    deviceLost_.store(false, std::memory_order_release);
    succeed();
    return true;
}

bool AlsaOutput::start() {
    if (pcm_ == nullptr || callback_ == nullptr) {
        fail(ErrorDriverInit, "start", -EBADFD);
        return false;
    }
    if (thread_.running()) return true;
    thread_.join();
    if (snd_pcm_state(pcm_) == SND_PCM_STATE_SETUP) snd_pcm_prepare(pcm_);
    thread_ = Thread([this](std::stop_token stop) { play(stop); });
    succeed();
    return true;
}

void AlsaOutput::play(std::stop_token stop) {
    setCurrentThreadPriority(ThreadPriority::TimeCritical);  // refused without the right: plays anyway
    const std::size_t requestBytes = periodFrames_ * kFrameBytes;
    std::vector<float> block(periodFrames_ * kChannels);
    while (!stop.stop_requested()) {
        const std::uint32_t got = callback_(block.data(), static_cast<std::uint32_t>(requestBytes), user_);
        if (got < requestBytes) {
            // A short answer plays as silence rather than as stale samples.
            std::memset(reinterpret_cast<std::uint8_t*>(block.data()) + got, 0, requestBytes - got);
        }
        const float* at = block.data();
        snd_pcm_uframes_t left = periodFrames_;
        while (left > 0 && !stop.stop_requested()) {
            const snd_pcm_sframes_t written = snd_pcm_writei(pcm_, at, left);
            if (written == -EAGAIN) {
                snd_pcm_wait(pcm_, kWaitMilliseconds);
                continue;
            }
            if (written < 0) {
                // Underruns and suspends are recovered; anything else means the
                // device is gone and the thread ends.
                if (const int err = snd_pcm_recover(pcm_, static_cast<int>(written), 1); err < 0) {
                    lostReason_ = std::string("snd_pcm_writei: device lost: ") + snd_strerror(err);
                    deviceLost_.store(true, std::memory_order_release);
                    return;
                }
                continue;
            }
            at += static_cast<std::size_t>(written) * kChannels;
            left -= static_cast<snd_pcm_uframes_t>(written);
        }
    }
}

void AlsaOutput::stop(bool discard) {
    thread_.requestStop();
    thread_.join();
    if (pcm_ == nullptr) return;
    if (discard) {
        snd_pcm_drop(pcm_);
    } else {
        snd_pcm_nonblock(pcm_, 0);
        snd_pcm_drain(pcm_);
        snd_pcm_nonblock(pcm_, 1);
    }
}

void AlsaOutput::free() {
    stop(true);
    if (pcm_ != nullptr) {
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }
    callback_ = nullptr;
    user_ = nullptr;
    periodFrames_ = 0;
    bufferFrames_ = 0;
}

}  // namespace quenda::platform
