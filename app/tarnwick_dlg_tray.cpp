#include <QApplication>
#include <QCoreApplication>

#include "app/autostart.h"
#include "app/tarnwick_dlg.h"
#include "app/tray_options.h"
#include "platform/qt/message_box.h"

// The window's side of the notification area and of the start at login: whether there is
// an icon, closing into it, and what the icon is told to show.

std::optional<int> CTarnwickDlg::applyTrayOptions() {
    // Long enough for a desktop that starts its panel after the programs started at login.
    constexpr int kLoginGraceMs = 10000;
    const TrayOptions options = readTrayOptions(iniPath_);
    if (!options.tray || !canHoldAnIcon()) {
        return std::nullopt;
    }
    makeTray();
    if (tray_ == nullptr || (!options.startHidden && !startedAtLogin_)) {
        return std::nullopt;
    }
    if (trayAvailable_()) {
        return 0;
    }
    if (startedAtLogin_) {
        return kLoginGraceMs;
    }
    return std::nullopt;
}

void CTarnwickDlg::makeTray() {
    if (tray_ == nullptr && trayMaker_) {
        tray_ = trayMaker_(*this);
        publishSummary();
    }
}

void CTarnwickDlg::publishSummary() {
    if (tray_ != nullptr) {
        Q_EMIT summaryChanged(trayToolTip(windowTitle(), panels_), trayEntries(panels_));
    }
}

void CTarnwickDlg::setTrayAvailability(std::function<bool()> available) {
    trayAvailable_ = std::move(available);
    desktopGiven_ = true;
}

bool CTarnwickDlg::hidesOnClose() const {
    return tray_ != nullptr && trayAvailable_();
}

bool CTarnwickDlg::canHoldAnIcon() const {
    // A screen nobody looks at gets no icon, unless a desktop was put in its place.
    return desktopGiven_ || !platformHasNoDisplay();
}

void CTarnwickDlg::hideToTray() {
    // A box or dialog over the window would stay up without it, or hide with it unseen.
    const QWidget* modal = QApplication::activeModalWidget();
    if (!hidesOnClose() || (modal != nullptr && modal != this) ||
        !enter(WindowLife::HiddenToTray)) {
        return;
    }
    if (!noteShown_) {
        noteShown_ = true;
        Q_EMIT hiddenNoteWanted(windowTitle());
    }
    trayWatch_.start(0);
}

void CTarnwickDlg::toggleFromTray() {
    if (life_ == WindowLife::Shown && isVisible() && !isMinimized()) {
        hideToTray();
    } else {
        showWindow();
    }
}

void CTarnwickDlg::setTrayEnabled(bool on) {
    writeTrayOption(iniPath_, on);
    if (!on) {
        // Nothing could bring a hidden window back without the icon.
        if (life_ == WindowLife::HiddenToTray) {
            showWindow();
        }
        tray_.reset();
    } else if (isWindowLive() && canHoldAnIcon()) {
        makeTray();
    }
}

void CTarnwickDlg::setAutostart(bool on) {
    const std::string path = autostartFilePath();
    if (on) {
        writeAutostart(path, QCoreApplication::applicationFilePath().toStdString());
    } else {
        removeAutostart(path);
    }
}

bool CTarnwickDlg::autostartEnabled() const {
    return autostartPointsAt(autostartFilePath(),
                             QCoreApplication::applicationFilePath().toStdString());
}
