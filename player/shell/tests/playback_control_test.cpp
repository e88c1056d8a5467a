// PLAY and the close box in every state, with stand-ins for the output, the
// decoder and the pipeline writing into one log, so the order is checked.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QProgressBar>
#include <QTest>
#include <QTreeWidget>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "shell/playback_control.h"
#include "shell/playlist.h"
#include "stand_ins.h"

namespace quenda::shell {
namespace {

using testing::FakeDecoder;
using testing::FakeEngine;
using testing::FakeOutput;
using testing::Log;
using testing::RecordingExits;
using testing::serveUntil;

TEST(FindStation, TakesTheFirstStationWhoseLabelOrTitleMatches)
{
    const std::vector<Station> stations = {
        {"Jazz", "http://a.example/jazz", "a.example - jazz"},
        {"Jazz", "http://b.example/jazz", "b.example - jazz"},
        {"a.example - jazz", "http://c.example/odd", "c.example - odd"},
        {"", "http://d.example/untitled", "d.example - untitled"},
        {"Rock", "http://e.example/rock", "e.example - rock"},
    };
    struct Case {
        const char* selected;
        int index;  // -1: none
    };
    const Case cases[] = {
        {"Jazz", 0},               // a title: the first in file order
        {"b.example - jazz", 1},   // a label
        {"a.example - jazz", 0},   // a label that a later title repeats
        {"c.example - odd", 2},
        {"", 3},                   // nothing selected: the station without a title
        {"jazz", -1},              // case matters
        {"Rock ", -1},
        {"Rock", 4},
    };
    for (const auto& c : cases) {
        const Station* found = findStation(stations, c.selected);
        EXPECT_EQ(found ? found - stations.data() : -1, c.index) << '"' << c.selected << '"';
    }
    EXPECT_EQ(findStation({stations[0], stations[4]}, ""), nullptr);
}

class PlaybackControlTest : public ::testing::Test {
protected:
    void SetUp() override { window_.show(); }

    void makeControl(std::vector<Station> stations, std::string formatName = "WASAPI FP32")
    {
        stations_ = std::move(stations);
        for (const auto& s : stations_) {
            window_.appendTreeItem(QString::fromStdString(s.title), 0);
            window_.appendTreeItem(QString::fromStdString(s.label), 1);
        }
        control_ = std::make_unique<PlaybackControl>(PlaybackParts{
            .window = window_,
            .stations = stations_,
            .formatName = std::move(formatName),
            .clearSampleMemory = [this] { log_.push_back("clear"); },
            .makeDecoder = [this]() -> std::unique_ptr<platform::StreamDecoder> {
                return std::make_unique<FakeDecoder>(log_, rate_, rateKnown_);
            },
            .output = output_,
            .makeEngine = [this](EngineHooks hooks) -> std::unique_ptr<PlaybackEngine> {
                auto engine = std::make_unique<FakeEngine>(log_, std::move(hooks));
                engine->threadsFail = threadsFail_;
                engine_ = engine.get();
                return engine;
            },
            .raiseProcessPriority = [this] { log_.push_back("priority"); },
            .exits = exits_,
        });
    }

    QTreeWidget* tree() { return qobject_cast<QTreeWidget*>(window_.control(TreeId)); }
    void select(int station, int child = -1)
    {
        QTreeWidgetItem* item = tree()->topLevelItem(station);
        tree()->setCurrentItem(child < 0 ? item : item->child(child));
    }
    void option(int id) { qobject_cast<QAbstractButton*>(window_.control(id))->click(); }
    void pressPlay() { qobject_cast<QAbstractButton*>(window_.control(PlayButtonId))->click(); }

    QApplication& app_ = testing::qtApp();
    Log log_;
    MainWindow window_;
    std::vector<Station> stations_;
    FakeOutput output_{log_};
    RecordingExits exits_{log_};
    float rate_ = 44100.0f;
    bool rateKnown_ = true;
    bool threadsFail_ = false;
    FakeEngine* engine_ = nullptr;
    std::unique_ptr<PlaybackControl> control_;
};

const std::vector<Station> TwoStations = {
    {"One", "http://a.example/one", "a.example - one"},
    {"Two", "http://b.example/two?key=1", "b.example - two"},
};

TEST_F(PlaybackControlTest, PlayStartsPlaybackAndTheCloseBoxTearsItDown)
{
    rate_ = 48000.0f;
    makeControl(TwoStations);
    select(1);
    option(Option108Id);
    pressPlay();

    EXPECT_EQ(control_->state(), PlaybackControl::State::Starting);
    EXPECT_EQ(control_->kernelHalfLength(), 4096);
    EXPECT_TRUE(window_.inPlaybackLayout());
    EXPECT_EQ(window_.windowTitle(), "WASAPI FP32 : Two");
    EXPECT_EQ(log_, (Log{"clear", "decoder.init", "decoder.netBuffer 90000", "decoder.open http://b.example/two?key=1",
                         "engine.create", "engine.startPump 48000.000000", "priority", "engine.startKernel 4096"}));
    ASSERT_NE(engine_, nullptr);
    log_.clear();

    // While the kernel is computed the window serves its events and drops
    // close requests.
    QTest::qWait(3 * PlaybackControl::KernelPollMilliseconds);
    EXPECT_FALSE(window_.close());
    QTest::qWait(PlaybackControl::KernelPollMilliseconds);
    EXPECT_EQ(control_->state(), PlaybackControl::State::Starting);
    EXPECT_TRUE(window_.isVisible());
    EXPECT_TRUE(log_.empty());

    engine_->kernelBusy = false;
    ASSERT_TRUE(serveUntil([&] { return control_->state() == PlaybackControl::State::Playing; }));
    EXPECT_EQ(log_, (Log{"output.init 96000 0.016000 0.000000", "output.start"}));
    EXPECT_EQ(output_.callback, &FakeEngine::callback);
    EXPECT_EQ(output_.callbackUser, engine_);
    log_.clear();

    EXPECT_FALSE(window_.close());
    EXPECT_EQ(log_, (Log{"engine.stopPump", "output.stop discard", "output.free", "stream.stop", "stream.free",
                         "decoder.free", "end"}));
    EXPECT_TRUE(exits_.finalTexts.empty());
    EXPECT_EQ(control_->state(), PlaybackControl::State::Ended);
}

TEST_F(PlaybackControlTest, RatesAreDoubledForTheOutput)
{
    rate_ = 44100.9f;  // taken toward zero
    makeControl(TwoStations, "");
    select(0, 0);
    pressPlay();
    EXPECT_EQ(control_->kernelHalfLength(), 256);
    // An empty format name still leads the title.
    EXPECT_EQ(window_.windowTitle(), " : One");
    engine_->kernelBusy = false;
    ASSERT_TRUE(serveUntil([&] { return control_->state() == PlaybackControl::State::Playing; }));
    EXPECT_EQ(log_[log_.size() - 2], "output.init 88200 0.016000 0.000000");
}

TEST_F(PlaybackControlTest, FailedPlaysLeaveThePickerAndAFurtherPlayWorks)
{
    makeControl({
        {"Nothing", "", " - "},
        {"Dead", "bad:http://dead.example/", "dead.example - "},
        {"Live", "http://live.example/", "live.example - "},
    });

    // Nothing selected and no untitled station: only the clear happens.
    pressPlay();
    EXPECT_EQ(log_, Log{"clear"});
    log_.clear();

    select(0);
    pressPlay();
    EXPECT_EQ(log_, (Log{"clear", "decoder.init", "decoder.netBuffer 90000", "decoder.free"}));
    log_.clear();

    select(1, 0);
    pressPlay();
    EXPECT_EQ(log_, (Log{"clear", "decoder.init", "decoder.netBuffer 90000", "decoder.open bad:http://dead.example/",
                         "decoder.free"}));
    log_.clear();

    EXPECT_EQ(control_->state(), PlaybackControl::State::Picking);
    EXPECT_FALSE(window_.inPlaybackLayout());
    EXPECT_EQ(window_.windowTitle(), "Halvane Ostrel Vantle Quenda");
    EXPECT_EQ(exits_.ends, 0);

    select(2);
    option(Option26Id);
    pressPlay();
    EXPECT_EQ(control_->state(), PlaybackControl::State::Starting);
    EXPECT_EQ(control_->kernelHalfLength(), 16384);
    EXPECT_EQ(window_.windowTitle(), "WASAPI FP32 : Live");
}

TEST_F(PlaybackControlTest, UntitledStationIsTakenWhenNothingIsSelected)
{
    makeControl({{"Named", "http://a.example/", "a.example - "}, {"", "http://b.example/", "b.example - "}});
    pressPlay();
    EXPECT_EQ(control_->state(), PlaybackControl::State::Starting);
    EXPECT_EQ(log_[3], "decoder.open http://b.example/");
}

TEST_F(PlaybackControlTest, UnreadableRateEndsWithTheMessage)
{
    for (const auto& [known, rate] : {std::pair{false, 44100.0f}, std::pair{true, std::nanf("")},
                                      std::pair{true, 0.0f}, std::pair{true, 3.0e9f}}) {
        log_.clear();
        exits_.finalTexts.clear();
        rateKnown_ = known;
        rate_ = rate;
        control_.reset();
        tree()->clear();
        makeControl(TwoStations);
        select(0);
        pressPlay();
        EXPECT_EQ(log_, (Log{"clear", "decoder.init", "decoder.netBuffer 90000", "decoder.open http://a.example/one",
                             "stream.free", "decoder.free", "box ERROR", "end"}))
            << rate;
        ASSERT_EQ(exits_.finalTexts.size(), 1u);
        EXPECT_EQ(exits_.finalTexts[0], "I can't use this sound device.\r\n\r\n" + aboutText());
        EXPECT_FALSE(window_.inPlaybackLayout());
    }
}

TEST_F(PlaybackControlTest, RefusedOutputEndsQuietlyAfterTheTeardown)
{
    output_.opens = false;
    makeControl(TwoStations);
    select(0);
    pressPlay();
    log_.clear();
    engine_->kernelBusy = false;
    ASSERT_TRUE(serveUntil([&] { return control_->state() == PlaybackControl::State::Ended; }));
    EXPECT_EQ(log_, (Log{"output.init 88200 0.016000 0.000000", "engine.stopPump", "output.free", "stream.stop",
                         "stream.free", "decoder.free", "end"}));
    EXPECT_TRUE(exits_.finalTexts.empty());
}

TEST_F(PlaybackControlTest, CloseWhilePickingEndsWithTheClosingMessage)
{
    makeControl(TwoStations);
    EXPECT_FALSE(window_.close());
    EXPECT_EQ(log_, (Log{"box ERROR", "end"}));
    ASSERT_EQ(exits_.finalTexts.size(), 1u);
    EXPECT_EQ(exits_.finalTexts[0],
              "This radio software output Max volume, Please use USB-DAC.\r\n\r\n" + aboutText());
}

TEST_F(PlaybackControlTest, PumpProgressAndStreamEndReachTheStrip)
{
    makeControl(TwoStations);
    select(0);
    pressPlay();
    ASSERT_NE(engine_, nullptr);
    // The pump reports from its own thread, many times, then the end.
    FakeEngine* engine = engine_;
    engine->pumpThread = std::thread([engine] {
        for (std::int64_t got = 0; got <= 31752000; got += 4096) engine->hooks.progress(got, 31752000);
        engine->hooks.progress(31752000, 31752000);
        engine->hooks.streamEnded();
    });
    engine->pumpThread.join();
    ASSERT_TRUE(serveUntil([&] { return window_.streamEndedLabel() != nullptr; }));
    EXPECT_EQ(window_.progressBar()->value(), 31752000);
    EXPECT_EQ(window_.streamEndedLabel()->text(), "Stream ended");
    // Nothing else happens: playback goes on until the close box.
    EXPECT_EQ(control_->state(), PlaybackControl::State::Starting);
}

TEST_F(PlaybackControlTest, LostOutputDeviceShowsInTheStrip)
{
    makeControl(TwoStations);
    select(0);
    pressPlay();
    engine_->kernelBusy = false;
    ASSERT_TRUE(serveUntil([&] { return control_->state() == PlaybackControl::State::Playing; }));
    EXPECT_EQ(window_.outputLostLabel(), nullptr);
    output_.lost = true;
    ASSERT_TRUE(serveUntil([&] { return window_.outputLostLabel() != nullptr; }));
    EXPECT_EQ(window_.outputLostLabel()->text(), "Output device lost");
    // Playback is not torn down by it: the close box still ends the process quietly.
    EXPECT_EQ(control_->state(), PlaybackControl::State::Playing);
    EXPECT_TRUE(exits_.finalTexts.empty());
}

TEST_F(PlaybackControlTest, ThreadsThatCannotStartEndWithAMessageNotACrash)
{
    threadsFail_ = true;
    makeControl(TwoStations);
    select(0);
    pressPlay();
    const Log tail(log_.end() - 7, log_.end());
    EXPECT_EQ(tail, (Log{"engine.startPump 44100.000000", "engine.stopPump", "stream.stop", "stream.free",
                         "decoder.free", "box ERROR", "end"}));
    ASSERT_EQ(exits_.finalTexts.size(), 1u);
    EXPECT_EQ(exits_.finalTexts[0], "I can't start the playback threads.\r\n\r\n" + aboutText());
}

}  // namespace
}  // namespace quenda::shell
