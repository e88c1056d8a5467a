// The player's one window: the station picker, then the playback strip.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>

class QButtonGroup;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTimer;
class QTreeWidget;

namespace quenda::shell {

// Every control's fixed identifier; presses are told apart by them.
enum ControlId : int {
    WindowId = 2,
    StatusBarId = 4,
    TreeId = 8,
    PlayButtonId = 16,
    Option26Id = 32,   // "2.6"
    Option108Id = 64,  // "10.8"
    Option215Id = 128, // "21.5"
    Option431Id = 256, // "43.1"
    Option861Id = 512, // "86.1"
};

inline constexpr const char* WindowTitle = "Halvane Ostrel Vantle Quenda";
inline constexpr const char* StreamEndedText = "Stream ended";
inline constexpr const char* OutputLostText = "Output device lost";
// Name of the dynamic property that carries a control's identifier.
inline constexpr const char* ControlIdProperty = "controlId";

class MainWindow : public QWidget {
    Q_OBJECT

public:
    // Builds the picker layout and places the window at the top-left corner of
    // the screen's free area. Not shown yet.
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Level 0 appends a top-level item, level 1 a child of the last top-level item.
    void appendTreeItem(const QString& text, int level);
    // The selected tree item's text, empty when nothing is selected.
    QString selectedTreeText() const;
    // Whether the option button with this identifier is the selected one.
    bool isOptionSelected(int id) const;

    // Tears the picker down for good and shows the playback strip: inner size
    // 330 x 50 at the same place, the given title, a status bar with a progress bar.
    void enterPlaybackLayout(const QString& title);
    bool inPlaybackLayout() const { return statusBar_ != nullptr; }

    // Shows `value` of `maximum` in the progress bar. Safe from any thread and
    // cheap: it only keeps the latest values, which the window picks up on its
    // own thread every ProgressRefreshMilliseconds, so however often the pump
    // calls it nothing piles up in the window's event queue.
    void setProgress(std::int64_t value, std::int64_t maximum);
    // Says "Stream ended" beside the progress bar, at the next refresh. Safe
    // from any thread.
    void showStreamEnded();
    static constexpr int ProgressRefreshMilliseconds = 50;
    // Says "Output device lost" beside the progress bar. Main thread only.
    void showOutputLost();

    // The control with this identifier, or nullptr once it has been destroyed.
    QWidget* control(int id) const;
    QProgressBar* progressBar() const { return progress_; }
    QLabel* streamEndedLabel() const { return streamEnded_; }
    QLabel* outputLostLabel() const { return outputLost_; }

signals:
    // A control was pressed (PLAY or an option button).
    void controlPressed(int id);
    // The close box was used. The window stays open: the receiver decides.
    void closeRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // On the window's thread: shows what the other threads left.
    void refreshStrip();

    QPointer<QTreeWidget> tree_;
    QPointer<QPushButton> play_;
    QPointer<QRadioButton> options_[5];
    QButtonGroup* optionGroup_ = nullptr;
    QStatusBar* statusBar_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* streamEnded_ = nullptr;
    QLabel* outputLost_ = nullptr;

    QTimer* refresh_ = nullptr;
    std::atomic<std::int64_t> progressValue_{0};
    std::atomic<std::int64_t> progressMaximum_{0};
    std::atomic<bool> progressChanged_{false};
    std::atomic<bool> streamHasEnded_{false};
};

}  // namespace quenda::shell
