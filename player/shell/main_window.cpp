#include "shell/main_window.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <limits>

namespace quenda::shell {
namespace {

const QColor TreeColour(112, 128, 144);
const QColor WindowColour(152, 128, 144);  // the tree colour with 40 more red

struct OptionButton {
    int id;
    int x;
    int width;
    const char* text;
    const char* tooltip;
};

constexpr OptionButton Options[5] = {
    {Option26Id, 140, 55, "2.6", "Optical phono cartridge"},
    {Option108Id, 210, 65, "10.8", "Magnetic phono cartridge"},
    {Option215Id, 290, 65, "21.5", "Audiophile Headphones"},
    {Option431Id, 370, 65, "43.1", "Studio Headphones"},
    {Option861Id, 450, 65, "86.1", "Full range speaker"},
};

QFont controlFont()
{
    QFont font(QStringLiteral("Arial"), 15, QFont::Normal, false);
    font.setUnderline(false);
    font.setStyleStrategy(QFont::PreferQuality);
    return font;
}

void setId(QWidget* widget, int id) { widget->setProperty(ControlIdProperty, id); }

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setId(this, WindowId);
    setWindowTitle(QString::fromLatin1(WindowTitle));
    setFixedSize(527, 330);
    if (const QScreen* screen = this->screen()) move(screen->availableGeometry().topLeft());

    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, WindowColour);
    setPalette(windowPalette);
    setAutoFillBackground(true);

    const QFont font = controlFont();

    tree_ = new QTreeWidget(this);
    setId(tree_, TreeId);
    tree_->setGeometry(10, 50, 500, 250);
    tree_->setFont(font);
    tree_->setHeaderHidden(true);
    tree_->setColumnCount(1);
    tree_->setRootIsDecorated(true);
    tree_->setSelectionMode(QAbstractItemView::SingleSelection);
    tree_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    // The classic style draws the lines between items and the boxed expand buttons.
    if (QStyle* classic = QStyleFactory::create(QStringLiteral("Windows"))) {
        classic->setParent(tree_);
        tree_->setStyle(classic);
    }
    QPalette treePalette = tree_->palette();
    treePalette.setColor(QPalette::Base, TreeColour);
    // The selection stays visible when the tree loses the focus.
    for (const auto role : {QPalette::Highlight, QPalette::HighlightedText})
        treePalette.setColor(QPalette::Inactive, role, treePalette.color(QPalette::Active, role));
    tree_->setPalette(treePalette);

    play_ = new QPushButton(QStringLiteral("PLAY"), this);
    setId(play_, PlayButtonId);
    play_->setGeometry(10, 5, 100, 40);
    play_->setFont(font);
    play_->setToolTip(QStringLiteral("Volume control 100% (maximum)"));
    connect(play_, &QPushButton::clicked, this, [this] { emit controlPressed(PlayButtonId); });

    optionGroup_ = new QButtonGroup(this);
    optionGroup_->setExclusive(true);
    for (int i = 0; i < 5; ++i) {
        const OptionButton& button = Options[i];
        auto* option = new QRadioButton(QString::fromLatin1(button.text), this);
        setId(option, button.id);
        option->setGeometry(button.x, 5, button.width, 40);
        option->setFont(font);
        option->setToolTip(QString::fromLatin1(button.tooltip));
        optionGroup_->addButton(option, button.id);
        options_[i] = option;
    }
    connect(optionGroup_, &QButtonGroup::idClicked, this, &MainWindow::controlPressed);
}

MainWindow::~MainWindow() = default;

void MainWindow::appendTreeItem(const QString& text, int level)
{
    if (!tree_) return;
    const int last = tree_->topLevelItemCount() - 1;
    if (level == 0 || last < 0) {
        tree_->addTopLevelItem(new QTreeWidgetItem(QStringList{text}));
    } else {
        tree_->topLevelItem(last)->addChild(new QTreeWidgetItem(QStringList{text}));
    }
}

QString MainWindow::selectedTreeText() const
{
    if (!tree_) return {};
    const auto selected = tree_->selectedItems();
    return selected.isEmpty() ? QString() : selected.front()->text(0);
}

bool MainWindow::isOptionSelected(int id) const
{
    return optionGroup_ && optionGroup_->checkedId() == id && id != -1;
}

void MainWindow::enterPlaybackLayout(const QString& title)
{
    if (inPlaybackLayout()) return;
    delete play_;
    for (int i = 4; i >= 0; --i) delete options_[i];  // "86.1" first, "2.6" last
    delete tree_;
    delete optionGroup_;
    optionGroup_ = nullptr;

    // Children are painted over an opaque background that Qt double-buffers,
    // so the strip repaints without flicker.
    const QPoint topLeft = pos();
    setFixedSize(330, 50);
    move(topLeft);
    setWindowTitle(title);

    statusBar_ = new QStatusBar(this);
    setId(statusBar_, StatusBarId);
    statusBar_->setSizeGripEnabled(false);
    // One field over the whole width, drawn without a border.
    statusBar_->setStyleSheet(QStringLiteral("QStatusBar::item { border: none; }"));
    progress_ = new QProgressBar(statusBar_);
    progress_->setTextVisible(false);
    progress_->setRange(0, 1);
    progress_->setValue(0);
    statusBar_->addWidget(progress_, 1);
    const int height = statusBar_->sizeHint().height();
    statusBar_->setGeometry(0, 50 - height, 330, height);
    statusBar_->show();

    // Progress comes from the pump thread; it is shown from here, on a clock.
    refresh_ = new QTimer(this);
    connect(refresh_, &QTimer::timeout, this, &MainWindow::refreshStrip);
    refresh_->start(ProgressRefreshMilliseconds);
}

void MainWindow::setProgress(std::int64_t value, std::int64_t maximum)
{
    progressValue_.store(value, std::memory_order_relaxed);
    progressMaximum_.store(maximum, std::memory_order_relaxed);
    progressChanged_.store(true, std::memory_order_release);
}

void MainWindow::showStreamEnded() { streamHasEnded_.store(true, std::memory_order_release); }

void MainWindow::showOutputLost()
{
    if (outputLost_ || !statusBar_) return;
    outputLost_ = new QLabel(QString::fromLatin1(OutputLostText), statusBar_);
    statusBar_->addPermanentWidget(outputLost_);
}

void MainWindow::refreshStrip()
{
    if (progressChanged_.exchange(false, std::memory_order_acquire)) {
        std::int64_t value = progressValue_.load(std::memory_order_relaxed);
        std::int64_t maximum = progressMaximum_.load(std::memory_order_relaxed);
        maximum = std::max<std::int64_t>(maximum, 1);
        value = std::clamp<std::int64_t>(value, 0, maximum);
        // The bar counts in int; larger ranges are scaled down together.
        constexpr std::int64_t limit = std::numeric_limits<int>::max();
        if (maximum > limit) {
            const std::int64_t divisor = maximum / limit + 1;
            value /= divisor;
            maximum /= divisor;
        }
        progress_->setRange(0, static_cast<int>(maximum));
        progress_->setValue(static_cast<int>(value));
    }
    if (!streamEnded_ && streamHasEnded_.load(std::memory_order_acquire)) {
        streamEnded_ = new QLabel(QString::fromLatin1(StreamEndedText), statusBar_);
        statusBar_->addPermanentWidget(streamEnded_);
    }
}

QWidget* MainWindow::control(int id) const
{
    if (id == WindowId) return const_cast<MainWindow*>(this);
    if (id == StatusBarId) return statusBar_;
    if (id == TreeId) return tree_;
    if (id == PlayButtonId) return play_;
    for (const auto& option : options_)
        if (option && option->property(ControlIdProperty).toInt() == id) return option;
    return nullptr;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    emit closeRequested();
}

}  // namespace quenda::shell
