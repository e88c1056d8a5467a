// The two ways the process ends, and the message boxes on the way.
#pragma once

#include <QString>

#include <string>

namespace quenda::shell {

// Texts of the final messages. Each ends with an empty line before the About lines.
inline constexpr const char* AllocationFailedMessage = "I can't allocate sample memory.\r\n\r\n";
inline constexpr const char* FavoritesMissingMessage = "I can't find favorites playlist.\r\n\r\n";
inline constexpr const char* RateUnreadableMessage = "I can't use this sound device.\r\n\r\n";
inline constexpr const char* ThreadsUnavailableMessage = "I can't start the playback threads.\r\n\r\n";
inline constexpr const char* ClosedBeforePlaybackMessage =
    "This radio software output Max volume, Please use USB-DAC.\r\n\r\n";

// The fixed text that follows every final message.
const std::string& aboutText();

// Ends the process. The boxes and the end itself are hooks so that tests can
// watch them; the player uses QtExits. After exitWithMessage or exitQuietly
// the real process is gone; a caller returns at once in case a stand-in came back.
class Exits {
public:
    virtual ~Exits() = default;

    // `exitMessage` followed by aboutText() in the final "ERROR" box, then the
    // end. The message alone is also written as one line on standard error.
    void exitWithMessage(const std::string& exitMessage);
    // The end, without a box.
    void exitQuietly();

    // "Power on USB-DAC" in a box titled "ERROR" with an OK button and no icon;
    // returns once the user has dismissed it.
    virtual void showPowerOnNotice() = 0;

protected:
    // The modal "ERROR" box with the stop icon and an OK button; returns once
    // the user has dismissed it.
    virtual void showFinalBox(const QString& text) = 0;
    // Ends the process with exit code 0.
    virtual void endProcess() = 0;
};

// Real message boxes, and an end that takes every thread with it.
class QtExits : public Exits {
public:
    void showPowerOnNotice() override;

protected:
    void showFinalBox(const QString& text) override;
    // Threads that still run (the pump, convolution workers) end with the
    // process; nothing waits for them.
    [[noreturn]] void endProcess() override;
};

}  // namespace quenda::shell
