// The window under Qt's offscreen platform: the picker as laid out, the
// switch to the playback strip, close requests, and progress from other threads.
#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QEvent>
#include <QFontInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "shell/main_window.h"
#include "shell/playback_control.h"
#include "stand_ins.h"

namespace quenda::shell {
namespace {

using testing::serveUntil;

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testing::qtApp();
        window_ = std::make_unique<MainWindow>();
        window_->show();
    }

    std::unique_ptr<MainWindow> window_;
};

TEST_F(MainWindowTest, PickerHasTheFixedControls)
{
    struct Expected {
        int id;
        QRect geometry;
        const char* text;
        const char* tooltip;
    };
    const Expected controls[] = {
        {PlayButtonId, {10, 5, 100, 40}, "PLAY", "Volume control 100% (maximum)"},
        {Option26Id, {140, 5, 55, 40}, "2.6", "Optical phono cartridge"},
        {Option108Id, {210, 5, 65, 40}, "10.8", "Magnetic phono cartridge"},
        {Option215Id, {290, 5, 65, 40}, "21.5", "Audiophile Headphones"},
        {Option431Id, {370, 5, 65, 40}, "43.1", "Studio Headphones"},
        {Option861Id, {450, 5, 65, 40}, "86.1", "Full range speaker"},
        {TreeId, {10, 50, 500, 250}, nullptr, ""},
    };
    for (const auto& c : controls) {
        QWidget* w = window_->control(c.id);
        ASSERT_NE(w, nullptr) << c.id;
        EXPECT_EQ(w->property(ControlIdProperty).toInt(), c.id);
        EXPECT_EQ(w->geometry(), c.geometry) << c.id;
        EXPECT_EQ(w->toolTip().toStdString(), c.tooltip) << c.id;
        if (c.text) {
            EXPECT_EQ(qobject_cast<QAbstractButton*>(w)->text().toStdString(), c.text);
        }
        EXPECT_TRUE(w->isVisible()) << c.id;

        // Arial, or its metric-compatible stand-in, 15 points, plain, best quality.
        const QFont font = w->font();
        EXPECT_EQ(font.family(), "Arial");
        EXPECT_EQ(font.pointSize(), 15);
        EXPECT_EQ(font.weight(), QFont::Normal);
        EXPECT_FALSE(font.italic());
        EXPECT_FALSE(font.underline());
        EXPECT_EQ(font.styleStrategy() & QFont::PreferQuality, QFont::PreferQuality);
        const QString family = QFontInfo(font).family();
        EXPECT_TRUE(family == "Arial" || family == "Liberation Sans") << family.toStdString();
    }
    EXPECT_EQ(window_->property(ControlIdProperty).toInt(), WindowId);
    EXPECT_EQ(window_->control(StatusBarId), nullptr);
}

TEST_F(MainWindowTest, WindowIsAFixedToolWindowAtTheTopLeft)
{
    EXPECT_EQ(window_->windowTitle(), "Halvane Ostrel Vantle Quenda");
    EXPECT_EQ(window_->size(), QSize(527, 330));
    EXPECT_EQ(window_->minimumSize(), window_->maximumSize());
    const Qt::WindowFlags flags = window_->windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool);
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window_->pos(), window_->screen()->availableGeometry().topLeft());

    EXPECT_EQ(window_->palette().color(QPalette::Window), QColor(152, 128, 144));
    EXPECT_TRUE(window_->autoFillBackground());
    auto* tree = qobject_cast<QTreeWidget*>(window_->control(TreeId));
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->palette().color(QPalette::Base), QColor(112, 128, 144));
    EXPECT_TRUE(tree->rootIsDecorated());
    // The classic style is the one that draws lines between the items.
    EXPECT_EQ(tree->style()->name(), "windows");
    EXPECT_EQ(tree->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(tree->palette().color(QPalette::Inactive, QPalette::Highlight),
              tree->palette().color(QPalette::Active, QPalette::Highlight));
}

TEST_F(MainWindowTest, OptionsFormOneGroupWithNoneSelectedAtStart)
{
    const int ids[] = {Option26Id, Option108Id, Option215Id, Option431Id, Option861Id};
    for (int id : ids) EXPECT_FALSE(window_->isOptionSelected(id));
    EXPECT_FALSE(window_->isOptionSelected(-1));

    QSignalSpy pressed(window_.get(), &MainWindow::controlPressed);
    QTest::mouseClick(qobject_cast<QAbstractButton*>(window_->control(Option215Id)), Qt::LeftButton);
    QTest::mouseClick(qobject_cast<QAbstractButton*>(window_->control(Option861Id)), Qt::LeftButton);
    for (int id : ids) EXPECT_EQ(window_->isOptionSelected(id), id == Option861Id) << id;
    QTest::mouseClick(qobject_cast<QAbstractButton*>(window_->control(PlayButtonId)), Qt::LeftButton);
    ASSERT_EQ(pressed.count(), 3);
    EXPECT_EQ(pressed[0][0].toInt(), Option215Id);
    EXPECT_EQ(pressed[1][0].toInt(), Option861Id);
    EXPECT_EQ(pressed[2][0].toInt(), PlayButtonId);
}

TEST_F(MainWindowTest, OptionsGiveTheKernelHalfLength)
{
    EXPECT_EQ(kernelHalfLengthFromOptions(*window_), 256);
    const std::pair<int, std::int64_t> table[] = {
        {Option861Id, 512}, {Option431Id, 1024}, {Option215Id, 2048}, {Option108Id, 4096}, {Option26Id, 16384},
    };
    for (const auto& [id, n] : table) {
        qobject_cast<QAbstractButton*>(window_->control(id))->click();
        EXPECT_EQ(kernelHalfLengthFromOptions(*window_), n) << id;
    }
}

TEST_F(MainWindowTest, TreeItemsAndSelection)
{
    window_->appendTreeItem("One", 0);
    window_->appendTreeItem("a.example - one", 1);
    window_->appendTreeItem("Two", 0);
    window_->appendTreeItem("b.example - ", 1);
    auto* tree = qobject_cast<QTreeWidget*>(window_->control(TreeId));
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    EXPECT_EQ(tree->topLevelItem(1)->text(0), "Two");
    ASSERT_EQ(tree->topLevelItem(1)->childCount(), 1);
    EXPECT_EQ(tree->topLevelItem(1)->child(0)->text(0), "b.example - ");
    EXPECT_FALSE(tree->topLevelItem(0)->isExpanded());

    EXPECT_EQ(window_->selectedTreeText(), "");
    tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    EXPECT_EQ(window_->selectedTreeText(), "a.example - one");
    tree->setCurrentItem(tree->topLevelItem(1));
    EXPECT_EQ(window_->selectedTreeText(), "Two");
}

TEST_F(MainWindowTest, PlaybackLayoutReplacesThePicker)
{
    window_->move(window_->pos() + QPoint(7, 9));
    const QPoint topLeft = window_->pos();
    window_->enterPlaybackLayout("WASAPI FP32 : One");

    for (int id : {TreeId, PlayButtonId, Option26Id, Option108Id, Option215Id, Option431Id, Option861Id})
        EXPECT_EQ(window_->control(id), nullptr) << id;
    EXPECT_TRUE(window_->findChildren<QAbstractButton*>().isEmpty());
    EXPECT_TRUE(window_->findChildren<QTreeWidget*>().isEmpty());

    EXPECT_EQ(window_->size(), QSize(330, 50));
    EXPECT_EQ(window_->minimumSize(), window_->maximumSize());
    EXPECT_EQ(window_->pos(), topLeft);
    EXPECT_EQ(window_->windowTitle(), "WASAPI FP32 : One");

    auto* status = qobject_cast<QStatusBar*>(window_->control(StatusBarId));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->property(ControlIdProperty).toInt(), StatusBarId);
    EXPECT_EQ(status->geometry().width(), 330);
    EXPECT_EQ(status->geometry().bottom(), 49);
    EXPECT_TRUE(status->isVisible());
    ASSERT_NE(window_->progressBar(), nullptr);
    QApplication::processEvents();
    // The one field spans the strip, less the status bar's own margins.
    EXPECT_GE(window_->progressBar()->width(), 300);
}

TEST_F(MainWindowTest, CloseBoxOnlyAsksAndTheWindowStays)
{
    QSignalSpy closing(window_.get(), &MainWindow::closeRequested);
    EXPECT_FALSE(window_->close());
    EXPECT_EQ(closing.count(), 1);
    EXPECT_TRUE(window_->isVisible());
}

// Counts the events posted to the window from other threads.
class PostedEventCounter : public QObject {
public:
    std::atomic<int> count{0};

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::MetaCall) ++count;
        return false;
    }
};

TEST_F(MainWindowTest, ProgressFromAnotherThreadShowsTheLatestValues)
{
    window_->enterPlaybackLayout("x");
    PostedEventCounter posted;
    window_->installEventFilter(&posted);

    constexpr std::int64_t total = 31752000;
    std::thread pump([&] {
        for (std::int64_t got = 0; got <= total; got += 317) window_->setProgress(got, total);
        window_->setProgress(total / 2, total);
    });
    pump.join();
    ASSERT_TRUE(serveUntil([&] { return window_->progressBar()->value() == total / 2; }));
    EXPECT_EQ(window_->progressBar()->maximum(), total);

    // While the window serves its events, updates keep coming through.
    std::atomic<bool> done{false};
    std::thread pump2([&] {
        for (std::int64_t got = 0; got <= 1000; ++got) {
            window_->setProgress(got, 1000);
            if (got % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        done = true;
    });
    int distinct = 0, last = -1;
    while (!done) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        if (window_->progressBar()->value() != last) ++distinct, last = window_->progressBar()->value();
    }
    pump2.join();
    ASSERT_TRUE(serveUntil([&] { return window_->progressBar()->value() == 1000; }));
    EXPECT_GE(distinct, 2);
    // Nothing was queued on the window for any of the 100,000 calls.
    EXPECT_EQ(posted.count, 0);
    window_->removeEventFilter(&posted);

    // Values beyond the bar's int range are scaled, not wrapped.
    window_->setProgress(std::int64_t{3} << 40, std::int64_t{4} << 40);
    ASSERT_TRUE(serveUntil([&] { return window_->progressBar()->maximum() != 1000; }));
    EXPECT_NEAR(double(window_->progressBar()->value()) / window_->progressBar()->maximum(), 0.75, 1e-6);
}

TEST_F(MainWindowTest, StreamEndedShowsBesideTheProgressBar)
{
    window_->enterPlaybackLayout("x");
    std::thread pump([&] {
        window_->setProgress(10, 100);
        window_->showStreamEnded();
    });
    pump.join();
    ASSERT_TRUE(serveUntil([&] { return window_->streamEndedLabel() != nullptr; }));
    QApplication::processEvents();
    EXPECT_EQ(window_->streamEndedLabel()->text(), "Stream ended");
    EXPECT_TRUE(window_->streamEndedLabel()->isVisible());
    EXPECT_TRUE(window_->progressBar()->isVisible());
    EXPECT_EQ(window_->progressBar()->value(), 10);
}

}  // namespace
}  // namespace quenda::shell
