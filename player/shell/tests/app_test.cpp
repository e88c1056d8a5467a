// The player's main routine and its ends, in child processes: no display, the
// real message boxes on the way out, and exit code 0.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "shell/app.h"
#include "shell/exits.h"
#include "stand_ins.h"

namespace quenda::shell {
namespace {

// In the children below, a user who reads every box and presses OK: each box
// is written to standard error as "[title|icon|text]" and dismissed.
void dismissBoxesAsTheyCome()
{
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        std::fprintf(stderr, "[%s|%d|%s]\n", qPrintable(box->windowTitle()), static_cast<int>(box->icon()),
                     qPrintable(box->text()));
        box->button(QMessageBox::Ok)->click();
    });
    timer->start(20);
}

bool dismissBoxes = false;
void maybeDismissBoxes()
{
    if (dismissBoxes) dismissBoxesAsTheyCome();
}
Q_COREAPP_STARTUP_FUNCTION(maybeDismissBoxes)

// Platform parts whose output reports `format` and `error` at the probe.
PlatformParts standInParts(int format, int error)
{
    static testing::Log log;
    return PlatformParts{
        .makeOutput =
            [format, error] {
                auto output = std::make_unique<testing::FakeOutput>(log);
                output->format = format;
                output->error = error;
                return output;
            },
        .makeDecoder = []() -> std::unique_ptr<platform::StreamDecoder> { std::abort(); },
        .makeEngine = [](BlockBuffers&, EngineHooks) -> std::unique_ptr<PlaybackEngine> { std::abort(); },
    };
}

void runChild(const char* platform, int format, int error)
{
    setenv("QT_QPA_PLATFORM", platform, 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    // Only the boxes on standard error: the offscreen platform's notes are dropped.
    setenv("QT_LOGGING_RULES", "*.warning=false", 1);
    dismissBoxes = true;
    int argc = 1;
    char name[] = "quenda";
    char* argv[] = {name, nullptr};
    const PlatformParts parts = standInParts(format, error);
    runPlayer(argc, argv, parts);
    std::fprintf(stderr, "runPlayer returned\n");
    std::exit(3);
}

TEST(RunPlayerDeathTest, WithoutADisplaySaysSoAndEndsWithZero)
{
    EXPECT_EXIT(runChild("xcb", 0, 0), ::testing::ExitedWithCode(0), "^quenda: cannot open a window \\([^\n]*\\)\n$");
}

TEST(RunPlayerDeathTest, FatalCodeShowsBothBoxesAndEndsWithZero)
{
    EXPECT_EXIT(runChild("offscreen", -1, 6), ::testing::ExitedWithCode(0),
                "\\[ERROR\\|0\\|Power on USB-DAC\\]\n"
                "quenda: The specified format is Not supported by the device\\.\n"
                "\\[ERROR\\|3\\|The specified format is Not supported by the device\\.\r\n\r\n"
                "Halvane Ostrel Vantle Quenda\r\n[^]]*\\]\n$");
}

// The final message also goes to standard error as one line, before its box.
TEST(RunPlayerDeathTest, MissingFavoritesEndWithTheirMessage)
{
    // The test programs' folder holds no favourites file.
    EXPECT_EXIT(runChild("offscreen", 0, 0), ::testing::ExitedWithCode(0),
                "^quenda: I can't find favorites playlist\\.\n"
                "\\[ERROR\\|3\\|I can't find favorites playlist\\.\r\n\r\nHalvane[^]]*\\]\n$");
}

TEST(ExitsDeathTest, ExitQuietlyEndsWithZeroAndNoOutput)
{
    EXPECT_EXIT(
        {
            QtExits exits;
            exits.exitQuietly();
        },
        ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
}  // namespace quenda::shell
