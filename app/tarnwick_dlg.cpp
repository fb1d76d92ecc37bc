#include "app/tarnwick_dlg.h"

#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <array>
#include <climits>

#include "app/about_dlg.h"
#include "app/app_icon.h"
#include "app/autostart.h"
#include "app/console_signals.h"
#include "app/home_page.h"
#include "app/tray_icon.h"
#include "app/tray_options.h"
#include "panels/port_dlg.h"
#include "panels/setting_dlg.h"
#include "platform/qt/message_box.h"
#include "resources/dialog_templates.h"
#include "resources/string_table.h"
#include "settings/port_settings.h"

CTarnwickDlg::CTarnwickDlg(QWidget* parent, SocketLoopThread* socketThread)
    : CDialog(::dialogTemplate(IDD_TARNWICK_DIALOG), parent),
      appIcon_(loadAppIcon()),
      socketThread_(socketThread),
      trayAvailable_([] { return QSystemTrayIcon::isSystemTrayAvailable(); }) {
    QObject::connect(&trayWatch_, &QTimer::timeout, this, [this] { checkTray(); });
}

CTarnwickDlg::~CTarnwickDlg() {
    onDestroy();
}

int CTarnwickDlg::DoModal() {
    int result = CDialog::DoModal();
    onDestroy();
    return result;
}

bool CTarnwickDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    if ((::dialogTemplate(IDD_TARNWICK_DIALOG).styles & style::kSysMenu) != 0) {
        std::string_view about = loadResourceString(IDS_ABOUTBOX);
        if (!about.empty()) {
            systemMenu_.push_back({0, {}});
            systemMenu_.push_back({IDM_ABOUTBOX, about});
        }
    }

    setWindowIcon(appIcon_);

    // Room for any Linux path; should even that fail, the empty text leaves the file name
    // under "/", where a write simply fails.
    std::array<char, PATH_MAX + 1> directory{};
    if (getcwd(directory.data(), directory.size() - 1) == nullptr) {
        directory.fill('\0');
    }
    iniPath_ = std::string(directory.data()) + "/" + kSettingsFileName;

    panelCount_ = countPortSections(iniPath_);
    showAtStart_ = 1;

    settingDlg_ = std::make_unique<CSettingDlg>();
    settingDlg_->Create(this);
    settingDlg_->setMainWindow(this);
    settingDlg_->hide();

    // Before the window is first shown the window manager has put no frame around it;
    // Qt sizes the client area, so the frame only enters the arithmetic where known.
    frameWidth_ = frameGeometry().width() - width();
    frameHeight_ = frameGeometry().height() - height();

    createPanels();
    layoutPanels();
    CenterWindow();
    updateTitle();
    applyTrayOptions();
    setVisible(showAtStart_ == 1 ? WindowVisibility::shown : WindowVisibility::hidden);
    return true;
}

void CTarnwickDlg::applyTrayOptions() {
    // Long enough for a desktop that starts its panel after the programs started at login.
    constexpr int kLoginGraceMs = 10000;
    const TrayOptions options = readTrayOptions(iniPath_);
    if (!options.tray || !canHoldAnIcon()) {
        return;
    }
    tray_ = std::make_unique<CTrayIcon>(*this);
    if (!options.startHidden && !startedAtLogin_) {
        return;
    }
    if (trayAvailable_()) {
        showAtStart_ = 0;
        watchTray(0);
    } else if (startedAtLogin_) {
        showAtStart_ = 0;
        watchTray(kLoginGraceMs);
    }
}

void CTarnwickDlg::createPanels() {
    for (int i = 0; i < panelCount_; ++i) {
        createPanel(i);
    }
}

void CTarnwickDlg::createPanel(int index) {
    auto panel = std::make_unique<CPortDlg>(nullptr, socketThread_);
    panel->Create(this);
    // A right click over a panel reaches the window's menu, with the panel's own entry.
    panel->installEventFilter(this);
    panel->setIndex(index);
    panel->setSettingsPath(iniPath_);
    panel->setSettingDlg(settingDlg_.get());
    panel->initPanel();
    panelRect_ = panel->frameGeometry();
    panels_.push_back(std::move(panel));
}

bool CTarnwickDlg::addPanel() {
    if (panels_.size() >= static_cast<std::size_t>(kMostPorts) || !isWindowLive()) {
        return false;
    }
    // Nothing is in its section yet: the panel starts OFF with the defaults and its
    // initialisation writes them.
    createPanel(static_cast<int>(panels_.size()));
    layoutPanels();
    return true;
}

bool CTarnwickDlg::removePanel(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= panels_.size() || panels_.size() < 2 ||
        panels_[static_cast<std::size_t>(index)]->getSwitchState() != 0) {
        return false;
    }
    const CPortDlg& panel = *panels_[static_cast<std::size_t>(index)];
    const std::string question = std::string(panel.isUdp() ? "UDP:" : "TCP:") +
                                 std::to_string(panel.getListenPort()) + " の設定を削除しますか?";
    // The box's own loop may end the window (a shutdown answers it); then nothing goes.
    if (AfxMessageBox(question, MB_YESNO | MB_ICONQUESTION) != IDYES || ended_ || !isWindowLive()) {
        return false;
    }
    removePortSection(iniPath_, index, static_cast<int>(panels_.size()));
    const auto removed = panels_.begin() + index;
    (*removed)->hide();
    panels_.erase(removed);
    for (std::size_t i = static_cast<std::size_t>(index); i < panels_.size(); ++i) {
        panels_[i]->setIndex(static_cast<int>(i));
    }
    layoutPanels();
    return true;
}

void CTarnwickDlg::layoutPanels() {
    const int n = static_cast<int>(panels_.size());
    const int w = panelRect_.width();
    const int h = panelRect_.height();
    for (int k = 0; k < n; ++k) {
        CPortDlg& panel = *panels_[static_cast<std::size_t>(k)];
        if (k < 5) {
            panel.setGeometry(5, 20 + k * (h + 5), w, h);
        } else {
            panel.setGeometry(w + 10, 20 + (k - 5) * (h + 5), w, h);
        }
        panel.show();
    }
    int windowWidth = 0;
    int windowHeight = 0;
    if (n <= 5) {
        windowWidth = frameWidth_ + w + 10;
        windowHeight = frameHeight_ + n * (h + 5) + 20;
    } else {
        windowWidth = frameWidth_ + 2 * w + 20;
        windowHeight = frameHeight_ + 5 * h + 45;
    }
    // The template fixed the size; the panels decide it now. The top-left corner stays.
    setFixedSize(windowWidth - frameWidth_, windowHeight - frameHeight_);
}

void CTarnwickDlg::updateTitle() {
    SetWindowText(std::string("ターンウィック Pico."));
}

void CTarnwickDlg::setVisible(WindowVisibility flag) {
    visible_ = static_cast<int>(flag);
    if (visible_ != 0) {
        trayWatch_.stop();
        if (hiddenLoop_ != nullptr) {
            hiddenLoop_->quit();
        }
        show();
        showNormal();
    } else {
        hiddenInLoop_ = true;
        hide();
    }
}

void CTarnwickDlg::setVisible(bool visible) {
    if (visible && visible_ == 0) {
        return;
    }
    CDialog::setVisible(visible);
}

void CTarnwickDlg::done(int result) {
    ended_ = true;
    CDialog::done(result);
    if (hiddenLoop_ != nullptr) {
        hiddenLoop_->quit();
    }
}

int CTarnwickDlg::exec() {
    // Hiding the window ends the dialog's loop, and a dialog's end does not end a loop
    // while it is hidden: a hidden window runs a loop of its own until it is shown again or
    // ended. Any other end of a loop (the application quitting) ends the run.
    int code = result();
    while (!ended_) {
        if (visible_ == 0) {
            QEventLoop loop;
            hiddenLoop_ = &loop;
            loop.exec(QEventLoop::DialogExec);
            hiddenLoop_ = nullptr;
            if (!ended_ && visible_ == 0) {
                break;
            }
            continue;
        }
        hiddenInLoop_ = false;
        code = CDialog::exec();
        if (!hiddenInLoop_) {
            break;
        }
    }
    return ended_ ? result() : code;
}

void CTarnwickDlg::sendCommand(unsigned int id) {
    OnCommand(static_cast<int>(id));
}

void CTarnwickDlg::OnCommand(int id) {
    if (id == static_cast<int>(ID_OPEN_MAIN_WINDOW)) {
        setVisible(WindowVisibility::shown);
        raise();
        activateWindow();
        return;
    }
    if (id == static_cast<int>(ID_EXIT)) {
        setVisible(WindowVisibility::hidden);
        QMetaObject::invokeMethod(this, &CTarnwickDlg::endProgram, Qt::QueuedConnection);
        return;
    }
    CDialog::OnCommand(id);
}

void CTarnwickDlg::sendClose() {
    // A close request reaches a dialog as its cancel command.
    if (isCreated() && !destroyed_) {
        OnCommand(IDCANCEL);
    }
}

int CTarnwickDlg::onConsoleCtrl(unsigned long event) {
    if (event == CTRL_SHUTDOWN_EVENT && isWindowLive()) {
        // Each open box or dialog runs a nested loop that would hold the main window's end
        // until a person answers it.
        cancelOtherWindows(this);
        endProgram();
    }
    return 1;
}

void CTarnwickDlg::endProgram() {
    if (isWindowLive()) {
        ending_ = true;
        OnCommand(IDCANCEL);
    }
}

void CTarnwickDlg::OnCancel() {
    if (!ending_ && hidesOnClose()) {
        hideToTray();
        return;
    }
    CDialog::OnCancel();
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
    if (!hidesOnClose() || (modal != nullptr && modal != this)) {
        return;
    }
    setVisible(WindowVisibility::hidden);
    if (!noteShown_) {
        noteShown_ = true;
        tray_->showHiddenNote();
    }
    watchTray(0);
}

void CTarnwickDlg::watchTray(int graceMs) {
    constexpr int kTrayCheckMs = 1000;
    trayGraceMs_ = graceMs;
    trayMissing_.invalidate();
    trayWatch_.start(kTrayCheckMs);
}

void CTarnwickDlg::checkTray() {
    if (visible_ != 0 || !isWindowLive()) {
        trayWatch_.stop();
        return;
    }
    if (tray_ != nullptr && trayAvailable_()) {
        trayMissing_.invalidate();
        return;
    }
    if (!trayMissing_.isValid()) {
        trayMissing_.start();
    }
    if (tray_ == nullptr || trayMissing_.elapsed() >= trayGraceMs_) {
        sendCommand(ID_OPEN_MAIN_WINDOW);
    }
}

void CTarnwickDlg::setTrayEnabled(bool on) {
    writeTrayOption(iniPath_, on);
    if (!on) {
        // Nothing could bring a hidden window back without the icon.
        if (visible_ == 0) {
            sendCommand(ID_OPEN_MAIN_WINDOW);
        }
        tray_.reset();
    } else if (tray_ == nullptr && isWindowLive() && canHoldAnIcon()) {
        tray_ = std::make_unique<CTrayIcon>(*this);
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

void CTarnwickDlg::OnSysCommand(unsigned int id) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        // Owned by the main window, as the window system gives a modal box its owner.
        CAboutDlg about(this);
        about.DoModal();
        return;
    }
    switch (id & 0xFFF0) {
        case SC_CLOSE:
            sendClose();
            break;
        case SC_MINIMIZE:
            showMinimized();
            break;
        case SC_RESTORE:
            showNormal();
            break;
        default:
            break;
    }
}

void CTarnwickDlg::contextMenuEvent(QContextMenuEvent* event) {
    showContextMenu(event->globalPos(), nullptr);
}

bool CTarnwickDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ContextMenu) {
        for (const std::unique_ptr<CPortDlg>& panel : panels_) {
            if (watched == panel.get()) {
                showContextMenu(static_cast<QContextMenuEvent*>(event)->globalPos(), panel.get());
                return true;
            }
        }
    }
    return CDialog::eventFilter(watched, event);
}

void CTarnwickDlg::showContextMenu(const QPoint& globalPosition, CPortDlg* panel) {
    QMenu menu(this);
    if (panel != nullptr && panels_.size() > 1) {
        QAction* remove = menu.addAction(QString::fromUtf8("このポートを削除"));
        remove->setData(IDM_REMOVEPORT);
        remove->setEnabled(panel->getSwitchState() == 0);
        menu.addSeparator();
    }
    QAction* add = menu.addAction(QString::fromUtf8("ポートを追加"));
    add->setData(IDM_ADDPORT);
    add->setEnabled(panels_.size() < static_cast<std::size_t>(kMostPorts));
    addOptionItems(menu);
    for (const MenuItem& item : systemMenu_) {
        if (item.id == 0) {
            menu.addSeparator();
        } else {
            QAction* action = menu.addAction(
                QString::fromUtf8(item.text.data(), static_cast<qsizetype>(item.text.size())));
            action->setData(item.id);
        }
    }
    QAction* chosen = menu.exec(globalPosition);
    const unsigned int id = chosen != nullptr ? chosen->data().toUInt() : 0;
    if (id == IDM_REMOVEPORT) {
        // The panel is in the middle of its own event; it goes once that has returned.
        QPointer<CPortDlg> target(panel);
        QMetaObject::invokeMethod(
            this,
            [this, target] {
                for (std::size_t i = 0; i < panels_.size(); ++i) {
                    if (panels_[i].get() == target) {
                        removePanel(static_cast<int>(i));
                        return;
                    }
                }
            },
            Qt::QueuedConnection);
    } else if (id == IDM_ADDPORT) {
        addPanel();
    } else if (id == IDM_TRAY) {
        setTrayEnabled(chosen->isChecked());
    } else if (id == IDM_AUTOSTART) {
        setAutostart(chosen->isChecked());
    } else if (id != 0) {
        OnSysCommand(id);
    }
}

void CTarnwickDlg::addOptionItems(QMenu& menu) {
    // The desktop's options, where there is a desktop: a screen nobody looks at has neither
    // a notification area nor a login.
    if (!canHoldAnIcon() && tray_ == nullptr) {
        return;
    }
    menu.addSeparator();
    QAction* tray = menu.addAction(QStringLiteral("通知領域に常駐"));
    tray->setData(IDM_TRAY);
    tray->setCheckable(true);
    tray->setChecked(tray_ != nullptr);
    QAction* autostart = menu.addAction(QStringLiteral("ログイン時に起動"));
    autostart->setData(IDM_AUTOSTART);
    autostart->setCheckable(true);
    autostart->setChecked(autostartEnabled());
}

void CTarnwickDlg::OnLinkClick(int id) {
    if (id == IDC_HOMEPAGE_LINK) {
        openHomePage();
    }
}

void CTarnwickDlg::onDestroy() {
    if (destroyed_ || !isCreated()) {
        return;
    }
    destroyed_ = true;
    // One second for every port together, not for each.
    auto graceEnds = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    trayWatch_.stop();
    tray_.reset();
    for (std::unique_ptr<CPortDlg>& panel : panels_) {
        panel->saveAndStop(graceEnds);
        panel->hide();
        panel.reset();
    }
    panels_.clear();
    settingDlg_.reset();
}
