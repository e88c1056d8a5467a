#include "shell/startup.h"

#include "pipeline/block_buffers.h"
#include "pipeline/settings.h"

namespace quenda::shell {

std::string formatName(int formatCode)
{
    switch (formatCode) {
    case platform::FormatFloat32: return "WASAPI FP32";
    case platform::FormatInt8: return "WASAPI INT8";
    case platform::FormatInt16: return "WASAPI INT16";
    case platform::FormatInt24: return "WASAPI INT24";
    case platform::FormatInt32: return "WASAPI INT32";
    default: return {};
    }
}

std::string fatalCodeMessage(int errorCode)
{
    switch (errorCode) {
    case platform::ErrorNotAvailable: return "WASAPI is Not available.\r\n\r\n";
    case platform::ErrorDevice: return "device is invalid.\r\n\r\n";
    case platform::ErrorDriverInit: return " The driver could Not be initialized.\r\n\r\n";
    case platform::ErrorFormat: return "The specified format is Not supported by the device.\r\n\r\n";
    default: return {};
    }
}

std::optional<StartedShell> startUp(const StartupParts& parts)
{
    StartedShell shell;

    // Device-change notifications stay off for the whole run.
    parts.output.setNotify(false);
    const int probeRate = static_cast<int>(PlayerSettings.NominalRate * 2);
    const int format = parts.output.checkFormat(probeRate, 2);
    shell.formatName = formatName(format);
    if (shell.formatName.empty()) parts.exits.showPowerOnNotice();

    // The error code decides, whatever the probe returned.
    if (const std::string message = fatalCodeMessage(parts.output.lastError()); !message.empty()) {
        parts.exits.exitWithMessage(message);
        return std::nullopt;
    }

    try {
        parts.allocateSampleMemory();
    } catch (const AllocationError&) {
        parts.exits.exitWithMessage(AllocationFailedMessage);
        return std::nullopt;
    }

    shell.window = std::make_unique<MainWindow>();
    shell.window->show();

    auto stations = loadFavorites(parts.favoritesDirectory);
    if (!stations) {
        // The window stays on screen, with an empty tree, under the box.
        parts.exits.exitWithMessage(FavoritesMissingMessage);
        return std::nullopt;
    }
    shell.stations = std::move(*stations);
    for (const Station& station : shell.stations) {
        shell.window->appendTreeItem(QString::fromStdString(station.title), 0);
        shell.window->appendTreeItem(QString::fromStdString(station.label), 1);
    }
    return shell;
}

}  // namespace quenda::shell
