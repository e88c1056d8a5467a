#include "shell/app.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/threads.h"
#include "shell/exits.h"
#include "shell/playback_control.h"
#include "shell/startup.h"

namespace quenda::shell {
namespace {

// While the toolkit opens: a platform that cannot be opened (no display) is a
// fatal toolkit message; the player then ends quietly instead of aborting.
void openingMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtFatalMsg) return;  // the fatal one says it all
    std::fprintf(stderr, "quenda: cannot open a window (%s)\n",
                 message.section(QLatin1Char('\n'), 0, 0).toLocal8Bit().constData());
    std::fflush(stderr);
    std::_Exit(0);
}

}  // namespace

int runPlayer(int& argc, char** argv, const PlatformParts& parts)
{
    const QtMessageHandler previous = qInstallMessageHandler(openingMessages);
    QApplication app(argc, argv);
    qInstallMessageHandler(previous);
    // The window's close box is handled by playback control, never by Qt.
    QApplication::setQuitOnLastWindowClosed(false);

    QtExits exits;
    const auto output = parts.makeOutput();
    std::optional<BlockMemory> memory;
    auto shell = startUp(StartupParts{
        .output = *output,
        .exits = exits,
        .allocateSampleMemory =
            [&memory] {
                memory.emplace();
                memory->clearAll();
            },
        .favoritesDirectory = programDirectory(),
    });
    if (!shell) return 0;

    BlockBuffers& buffers = memory->buffers();
    PlaybackControl control(PlaybackParts{
        .window = *shell->window,
        .stations = shell->stations,
        .formatName = shell->formatName,
        .clearSampleMemory = [&memory] { memory->clearAll(); },
        .makeDecoder = parts.makeDecoder,
        .output = *output,
        .makeEngine = [&parts, &buffers](EngineHooks hooks) { return parts.makeEngine(buffers, std::move(hooks)); },
        .raiseProcessPriority = [] { platform::raiseProcessPriority(); },
        .exits = exits,
    });
    app.exec();
    // Every way out ends the process inside the event loop.
    exits.exitQuietly();
    return 0;
}

}  // namespace quenda::shell
