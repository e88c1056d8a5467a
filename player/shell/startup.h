// Start-up, from the output probe to the filled station tree.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/output.h"
#include "shell/exits.h"
#include "shell/main_window.h"
#include "shell/playlist.h"

namespace quenda::shell {

// The name of the device's exclusive sample format for a probe result; empty
// for anything but the five format codes.
std::string formatName(int formatCode);

// The final message for a fatal code of the output layer; empty for any other code.
std::string fatalCodeMessage(int errorCode);

struct StartupParts {
    platform::ExclusiveOutput& output;
    Exits& exits;
    // Takes and clears all sample memory; throws AllocationError.
    std::function<void()> allocateSampleMemory;
    // Where the favourites files are looked for.
    std::filesystem::path favoritesDirectory;
};

// What start-up leaves for the event loop.
struct StartedShell {
    std::string formatName;
    std::unique_ptr<MainWindow> window;  // shown, tree filled
    std::vector<Station> stations;
};

// Runs start-up after the toolkit is up: the format probe, the fatal codes,
// the sample memory, the window and the favourites. Empty when the process was
// ended on the way through `parts.exits`.
std::optional<StartedShell> startUp(const StartupParts& parts);

}  // namespace quenda::shell
