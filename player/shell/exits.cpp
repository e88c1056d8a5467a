#include "shell/exits.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

#include "shell/playlist.h"

namespace quenda::shell {

const std::string& aboutText()
{
    static const std::string text = std::string("Halvane Ostrel Vantle Quenda\r\n"
                                                "Low pass filter 9801Hz slow accurated pi 31 digit.\r\n"
                                                "Required ") +
                                    std::string(ServiceFavoritesName) + " or " + std::string(OwnFavoritesName) +
                                    "\r\n"
                                    "\r\n"
                                    "Written by the Halvane Ostrel Vantle Quenda project\r\n"
                                    "\r\n"
                                    "Built with C++20, GCC, CMake and Ninja on Debian\r\n"
                                    "\r\n"
                                    "Audio: FFmpeg (decoding), ALSA (exclusive output)\r\n"
                                    "\r\n"
                                    "Window: Qt\r\n\r\n";
    return text;
}

void Exits::exitWithMessage(const std::string& exitMessage)
{
    // The same message as one line on standard error, so that a run without
    // anyone at the screen (a script, a remote session) still tells why it ended.
    std::string line = exitMessage;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    std::fprintf(stderr, "quenda: %s\n", line.c_str());
    std::fflush(stderr);
    showFinalBox(QString::fromStdString(exitMessage + aboutText()));
    exitQuietly();
}

void Exits::exitQuietly() { endProcess(); }

namespace {

// The player's own window when it is the active one, so the box sits over it.
QWidget* boxOwner() { return QApplication::activeWindow(); }

}  // namespace

void QtExits::showPowerOnNotice()
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("ERROR"), QStringLiteral("Power on USB-DAC"),
                    QMessageBox::Ok, boxOwner());
    box.exec();
}

void QtExits::showFinalBox(const QString& text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("ERROR"), text, QMessageBox::Ok, boxOwner());
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void QtExits::endProcess()
{
    std::fflush(nullptr);
    std::_Exit(0);
}

}  // namespace quenda::shell
