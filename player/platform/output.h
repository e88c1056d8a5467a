// The exclusive output the player plays through, and its codes.
#pragma once

#include <cstdint>
#include <string>

namespace quenda::platform {

// Native sample format of a device, as the format probe reports it.
enum FormatCode : int {
    FormatFloat32 = 0,
    FormatInt8 = 1,
    FormatInt16 = 2,
    FormatInt24 = 3,
    FormatInt32 = 4,
    FormatUnsupported = -1,
};

// Why the last output operation failed.
enum ErrorCode : int {
    ErrorNone = 0,
    ErrorDriverInit = 3,        // the device exists but cannot be opened
    ErrorFormat = 6,            // rate, channel count or every format refused
    ErrorDevice = 23,           // no such card or device
    ErrorNotAvailable = 5000,   // the sound system itself is unusable
};

// Asked for `length` bytes of interleaved 32-bit float stereo frames at `buffer`;
// returns the number of bytes supplied. `user` is the value given at init.
using OutputCallback = std::uint32_t (*)(void* buffer, std::uint32_t length, void* user);

// An output device opened exclusively at a given rate with two channels, fed
// from a callback on a thread of the output's own. One object drives one device
// at a time. Implementations: ALSA (alsa_output.h); tests use stand-ins.
class ExclusiveOutput {
public:
    virtual ~ExclusiveOutput() = default;

    // Device-change notifications; the player keeps them off.
    virtual void setNotify(bool enabled) = 0;

    // The native sample format the default device would use for `rate` and
    // `channels` in exclusive mode, or FormatUnsupported with lastError() set.
    virtual int checkFormat(int rate, int channels) = 0;

    // Why the last operation failed (ErrorCode), ErrorNone after a success.
    virtual int lastError() const = 0;

    // Opens the default device at `rate` with 2 channels, a buffer of
    // `bufferSeconds` and `periodSeconds` (0: the device's default). False when
    // the device cannot be opened at that rate.
    virtual bool init(int rate, float bufferSeconds, float periodSeconds, OutputCallback callback,
                      void* user) = 0;

    // From now on the callback is asked for data whenever the device needs it.
    virtual bool start() = 0;

    // Stops asking the callback; with `discard`, what the device holds is dropped.
    virtual void stop(bool discard) = 0;

    // Releases the device. Safe to call when nothing is open.
    virtual void free() = 0;

    // True once the device went away while playing: the output stopped asking
    // the callback by itself. Cleared by the next successful init.
    virtual bool deviceLost() const { return false; }

    // The failing call and its reason, for the user: the last failed operation,
    // or why the device was lost; empty when nothing failed or the
    // implementation does not say.
    virtual std::string lastErrorText() const { return {}; }
};

}  // namespace quenda::platform
