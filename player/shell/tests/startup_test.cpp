// Start-up through a stand-in output layer: every probe result and error
// code, the sample memory, the window and the favourites; and the About text.
#include <gtest/gtest.h>

#include <QTreeWidget>

#include <filesystem>
#include <string>

#include "pipeline/block_buffers.h"
#include "shell/startup.h"
#include "stand_ins.h"

namespace quenda::shell {
namespace {

using testing::FakeOutput;
using testing::Log;
using testing::RecordingExits;

const std::filesystem::path Fixtures = QUENDA_SHELL_FIXTURES;

class StartupTest : public ::testing::Test {
protected:
    std::optional<StartedShell> run(int format, int error, std::filesystem::path dir = Fixtures,
                                    bool allocationFails = false)
    {
        output_.format = format;
        output_.error = error;
        return startUp(StartupParts{
            .output = output_,
            .exits = exits_,
            .allocateSampleMemory =
                [this, allocationFails] {
                    log_.push_back("allocate");
                    if (allocationFails) throw AllocationError("no memory");
                },
            .favoritesDirectory = std::move(dir),
        });
    }

    QApplication& app_ = testing::qtApp();
    Log log_;
    FakeOutput output_{log_};
    RecordingExits exits_{log_};
};

const Log ProbeCalls = {"output.setNotify off", "output.checkFormat 88200 2"};

Log with(Log head, const Log& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST_F(StartupTest, EachFormatCodeNamesTheFormatAndStartsQuietly)
{
    const std::pair<int, const char*> formats[] = {
        {0, "WASAPI FP32"}, {1, "WASAPI INT8"}, {2, "WASAPI INT16"}, {3, "WASAPI INT24"}, {4, "WASAPI INT32"},
    };
    for (const auto& [code, name] : formats) {
        log_.clear();
        auto shell = run(code, platform::ErrorNone);
        ASSERT_TRUE(shell.has_value()) << code;
        EXPECT_EQ(shell->formatName, name);
        EXPECT_EQ(log_, with(ProbeCalls, {"allocate"}));
        EXPECT_TRUE(shell->window->isVisible());
    }
}

TEST_F(StartupTest, FailedProbeWithoutAFatalCodeWarnsAndGoesOn)
{
    for (const int format : {-1, 5, 99}) {
        for (const int error : {0, 1, 8, 37}) {
            log_.clear();
            auto shell = run(format, error);
            ASSERT_TRUE(shell.has_value());
            EXPECT_EQ(shell->formatName, "");
            EXPECT_EQ(log_, with(ProbeCalls, {"box Power on USB-DAC", "allocate"})) << format << " " << error;
            EXPECT_TRUE(exits_.finalTexts.empty());
        }
    }
}

TEST_F(StartupTest, FatalCodesEndBeforeMemoryAndWindow)
{
    const std::pair<int, const char*> codes[] = {
        {5000, "WASAPI is Not available.\r\n\r\n"},
        {23, "device is invalid.\r\n\r\n"},
        {3, " The driver could Not be initialized.\r\n\r\n"},
        {6, "The specified format is Not supported by the device.\r\n\r\n"},
    };
    for (const auto& [code, message] : codes) {
        log_.clear();
        exits_.finalTexts.clear();
        EXPECT_FALSE(run(-1, code).has_value());
        EXPECT_EQ(log_, with(ProbeCalls, {"box Power on USB-DAC", "box ERROR", "end"})) << code;
        ASSERT_EQ(exits_.finalTexts.size(), 1u);
        EXPECT_EQ(exits_.finalTexts[0], message + aboutText());
        EXPECT_FALSE(exits_.windowShownAtFinalBox);
    }
    // The code decides even when the probe named a format.
    log_.clear();
    EXPECT_FALSE(run(3, 6).has_value());
    EXPECT_EQ(log_, with(ProbeCalls, {"box ERROR", "end"}));
}

TEST_F(StartupTest, MemoryThatCannotBeHadEndsWithAMessage)
{
    EXPECT_FALSE(run(0, 0, Fixtures, true).has_value());
    EXPECT_EQ(log_, with(ProbeCalls, {"allocate", "box ERROR", "end"}));
    ASSERT_EQ(exits_.finalTexts.size(), 1u);
    EXPECT_EQ(exits_.finalTexts[0], "I can't allocate sample memory.\r\n\r\n" + aboutText());
    EXPECT_FALSE(exits_.windowShownAtFinalBox);
}

TEST_F(StartupTest, MissingFavoritesEndWithTheWindowShown)
{
    const auto empty = std::filesystem::temp_directory_path() / "quenda-no-favorites";
    std::filesystem::create_directories(empty);
    EXPECT_FALSE(run(0, 0, empty).has_value());
    EXPECT_EQ(log_, with(ProbeCalls, {"allocate", "box ERROR", "end"}));
    ASSERT_EQ(exits_.finalTexts.size(), 1u);
    EXPECT_EQ(exits_.finalTexts[0], "I can't find favorites playlist.\r\n\r\n" + aboutText());
    EXPECT_TRUE(exits_.windowShownAtFinalBox);
}

TEST_F(StartupTest, TreeShowsTheStationsInFileOrder)
{
    auto shell = run(0, 0);
    ASSERT_TRUE(shell.has_value());
    ASSERT_EQ(shell->stations.size(), 3u);
    auto* tree = qobject_cast<QTreeWidget*>(shell->window->control(TreeId));
    const char* expected[][2] = {
        {"One", "a.example - live/one.mp3"},
        {"Two", "b.example - two.aac"},
        {"One", "c.example - "},
    };
    ASSERT_EQ(tree->topLevelItemCount(), 3);
    for (int i = 0; i < 3; ++i) {
        QTreeWidgetItem* item = tree->topLevelItem(i);
        EXPECT_EQ(item->text(0).toStdString(), expected[i][0]);
        ASSERT_EQ(item->childCount(), 1);
        EXPECT_EQ(item->child(0)->text(0).toStdString(), expected[i][1]);
        EXPECT_EQ(item->child(0)->childCount(), 0);
        EXPECT_FALSE(item->isExpanded());
    }
    EXPECT_EQ(shell->stations[0].url, "http://user:pw@a.example:8000/live/one.mp3?sid=1");
    EXPECT_EQ(shell->window->selectedTreeText(), "");
}

TEST(AboutText, NamesTheProgramTheFilesAndTheCredits)
{
    const std::string& about = aboutText();
    EXPECT_TRUE(about.starts_with("Halvane Ostrel Vantle Quenda\r\n"
                                  "Low pass filter 9801Hz slow accurated pi 31 digit.\r\n"
                                  "Required stations.example - Favorites.pls or My radio - Favorites.pls\r\n"));
    EXPECT_TRUE(about.ends_with("\r\n\r\n"));
    EXPECT_FALSE(about.ends_with("\r\n\r\n\r\n"));
    for (const char* name : {"FFmpeg", "ALSA", "Qt", "GCC"}) EXPECT_NE(about.find(name), std::string::npos) << name;
    // Lines end in CR LF only.
    for (std::size_t i = 0; i < about.size(); ++i) {
        const bool lf = about[i] == '\n', cr = about[i] == '\r';
        EXPECT_TRUE(!lf || (i > 0 && about[i - 1] == '\r')) << i;
        EXPECT_TRUE(!cr || (i + 1 < about.size() && about[i + 1] == '\n')) << i;
    }
}

}  // namespace
}  // namespace quenda::shell
