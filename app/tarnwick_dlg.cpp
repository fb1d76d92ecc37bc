#include "app/tarnwick_dlg.h"

#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QPointer>
#include <QSystemTrayIcon>
#include <algorithm>
#include <array>
#include <climits>

#include "app/about_dlg.h"
#include "app/app_icon.h"
#include "app/console_signals.h"
#include "app/home_page.h"
#include "panels/port_dlg.h"
#include "panels/setting_dlg.h"
#include "platform/qt/message_box.h"
#include "platform/qt/ui_text.h"
#include "resources/dialog_templates.h"
#include "resources/string_table.h"
#include "settings/port_settings.h"

namespace {

constexpr int kToolTipMs = 500;

}  // namespace

CTarnwickDlg::CTarnwickDlg(QWidget* parent, SocketLoopThread* socketThread)
    : CDialog(::dialogTemplate(IDD_TARNWICK_DIALOG), parent),
      appIcon_(loadAppIcon()),
      socketThread_(socketThread),
      trayAvailable_([] { return QSystemTrayIcon::isSystemTrayAvailable(); }),
      trayWatch_([this] { return tray_ != nullptr && trayAvailable_(); }, [this] { showWindow(); }),
      summaryThrottle_(kToolTipMs, [this] { publishSummary(); }) {}

CTarnwickDlg::~CTarnwickDlg() {
    finish();
}

bool CTarnwickDlg::enter(WindowLife next) {
    const bool allowed = life_ != WindowLife::Ended && next != WindowLife::Starting &&
                         (life_ != WindowLife::Ending || next == WindowLife::Ended);
    if (!allowed) {
        return false;
    }
    life_ = next;
    switch (next) {
        case WindowLife::Starting:
        case WindowLife::HiddenToTray:
            hide();
            break;
        case WindowLife::Shown:
            trayWatch_.stop();
            bringToFront();
            break;
        case WindowLife::Ending:
            trayWatch_.stop();
            hide();
            // Each open box or dialog runs a nested loop that would hold the end until a
            // person answers it.
            cancelOtherWindows(this);
            Q_EMIT ending(result());
            break;
        case WindowLife::Ended:
            trayWatch_.stop();
            break;
    }
    return true;
}

void CTarnwickDlg::bringToFront() {
    show();
    showNormal();
    // Nobody looks at a screen without a display; its platform only complains.
    if (platformHasNoDisplay()) {
        return;
    }
    raise();
    activateWindow();
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && modal != this && modal->isVisible()) {
        modal->raise();
        modal->activateWindow();
    }
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
    if (const std::optional<int> graceMs = applyTrayOptions()) {
        if (enter(WindowLife::HiddenToTray)) {
            trayWatch_.start(*graceMs);
        }
    } else {
        enter(WindowLife::Shown);
    }
    return true;
}

void CTarnwickDlg::createPanels() {
    const int count = countPortSections(iniPath_);
    for (int i = 0; i < count; ++i) {
        createPanel(i);
    }
}

void CTarnwickDlg::createPanel(int index, std::string* refusal) {
    auto panel = std::make_unique<CPortDlg>(nullptr, socketThread_);
    panel->Create(this);
    // A right click over a panel reaches the window's menu, with the panel's own entry.
    panel->installEventFilter(this);
    panel->setIndex(index);
    panel->setSettingsPath(iniPath_);
    panel->setSettingDlg(settingDlg_.get());
    panel->initPanel(refusal);
    QObject::connect(panel.get(), &CPortDlg::countChanged, this,
                     [this] { summaryThrottle_.changed(); });
    QObject::connect(panel.get(), &CPortDlg::switchChanged, this, [this] { publishSummary(); });
    QObject::connect(panel.get(), &CPortDlg::forwardChanged, this, [this] {
        // A name given or taken changes the panel's height.
        layoutPanels();
        publishSummary();
    });
    QObject::connect(panel.get(), &CPortDlg::trafficSampled, this,
                     [this] { summaryThrottle_.changed(); });
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
    publishSummary();
    return true;
}

bool CTarnwickDlg::removePanel(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= panels_.size() || panels_.size() < 2 ||
        panels_[static_cast<std::size_t>(index)]->getSwitchState() != 0) {
        return false;
    }
    const CPortDlg& panel = *panels_[static_cast<std::size_t>(index)];
    const QString port =
        QString(panel.isUdp() ? "UDP:" : "TCP:") + QString::number(panel.getListenPort());
    const std::string question =
        uiText("MainWindow", "%1 の設定を削除しますか?").arg(port).toStdString();
    // The box's own loop may end the window (a shutdown answers it); then nothing goes.
    if (AfxMessageBox(question, MB_YESNO | MB_ICONQUESTION) != IDYES ||
        life_ >= WindowLife::Ending) {
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
    publishSummary();
    return true;
}

void CTarnwickDlg::layoutPanels() {
    const int n = static_cast<int>(panels_.size());
    const int w = panelRect_.width();
    // Five panels a column, each as high as it is (a named one has a line more).
    std::array<int, 2> columnBottom{20, 20};
    for (int k = 0; k < n; ++k) {
        CPortDlg& panel = *panels_[static_cast<std::size_t>(k)];
        const std::size_t column = k < 5 ? 0 : 1;
        const int h = panel.panelHeight();
        panel.setGeometry(column == 0 ? 5 : w + 10, columnBottom[column], w, h);
        columnBottom[column] += h + 5;
        panel.show();
    }
    const int columns = n <= 5 ? 1 : 2;
    // The template fixed the size; the panels decide it now. The top-left corner stays.
    setFixedSize(columns * (w + 10), std::max(columnBottom[0], columnBottom[1]));
}

void CTarnwickDlg::updateTitle() {
    SetWindowText(uiString("MainWindow", "ターンウィック Pico."));
}

void CTarnwickDlg::setVisible(WindowVisibility flag) {
    enter(flag == WindowVisibility::shown ? WindowLife::Shown : WindowLife::HiddenToTray);
}

void CTarnwickDlg::setVisible(bool visible) {
    if (visible && life_ != WindowLife::Shown) {
        return;
    }
    CDialog::setVisible(visible);
}

void CTarnwickDlg::showWindow() {
    if (life_ != WindowLife::Starting) {
        enter(WindowLife::Shown);
    }
}

void CTarnwickDlg::done(int result) {
    setResult(result);
    enter(WindowLife::Ending);
}

void CTarnwickDlg::finish() {
    if (!isCreated() || !enter(WindowLife::Ended)) {
        return;
    }
    // One second for every port together, not for each.
    auto graceEnds = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    tray_.reset();
    for (std::unique_ptr<CPortDlg>& panel : panels_) {
        panel->saveAndStop(graceEnds);
        panel->hide();
        panel.reset();
    }
    panels_.clear();
    retired_.clear();
    settingDlg_.reset();
}

void CTarnwickDlg::sendCommand(unsigned int id) {
    OnCommand(static_cast<int>(id));
}

void CTarnwickDlg::OnCommand(int id) {
    if (id == static_cast<int>(ID_OPEN_MAIN_WINDOW)) {
        showWindow();
        return;
    }
    if (id == static_cast<int>(ID_EXIT)) {
        endProgram();
        return;
    }
    CDialog::OnCommand(id);
}

void CTarnwickDlg::sendClose() {
    // A close request reaches a dialog as its cancel command.
    if (isWindowLive()) {
        OnCommand(IDCANCEL);
    }
}

int CTarnwickDlg::onConsoleCtrl(unsigned long event) {
    if (event == CTRL_SHUTDOWN_EVENT) {
        endProgram();
    }
    return 1;
}

void CTarnwickDlg::endProgram() {
    if (isWindowLive()) {
        EndDialog(IDCANCEL);
    }
}

void CTarnwickDlg::OnCancel() {
    if (life_ == WindowLife::Shown || life_ == WindowLife::HiddenToTray) {
        if (hidesOnClose()) {
            hideToTray();
            return;
        }
    }
    CDialog::OnCancel();
}

void CTarnwickDlg::switchPanel(int index) {
    if (index >= 0 && static_cast<std::size_t>(index) < panels_.size()) {
        // As if the user clicked the panel's own switch: its rules, its messages.
        panels_[static_cast<std::size_t>(index)]->clickControl(IDC_SWITCH);
    }
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
    WindowMenuOffer offer;
    offer.removeItem = panel != nullptr && panels_.size() > 1;
    offer.removeEnabled = panel != nullptr && panel->getSwitchState() == 0;
    offer.addEnabled = panels_.size() < static_cast<std::size_t>(kMostPorts);
    // The desktop's options, where there is a desktop: a screen nobody looks at has neither
    // a notification area nor a login.
    offer.optionItems = canHoldAnIcon() || tray_ != nullptr;
    offer.trayOn = tray_ != nullptr;
    offer.autostartOn = offer.optionItems && autostartEnabled();
    offer.englishOn = readLanguageOption(iniPath_).value_or(uiLanguage_) == UiLanguage::English;
    offer.systemItems = &systemMenu_;
    const WindowMenuChoice choice = chooseFromWindowMenu(*this, globalPosition, offer);
    if (choice.id == IDM_REMOVEPORT) {
        removePanelLater(panel);
    } else if (choice.id == IDM_ADDPORT) {
        addPanel();
    } else if (choice.id == IDM_TRAY) {
        setTrayEnabled(choice.checked);
    } else if (choice.id == IDM_AUTOSTART) {
        setAutostart(choice.checked);
    } else if (choice.id == IDM_ENGLISH) {
        writeLanguageOption(iniPath_, choice.checked ? UiLanguage::English : UiLanguage::Japanese);
    } else if (choice.id != 0) {
        OnSysCommand(choice.id);
    }
}

void CTarnwickDlg::removePanelLater(CPortDlg* panel) {
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
}

void CTarnwickDlg::OnLinkClick(int id) {
    if (id == IDC_HOMEPAGE_LINK) {
        openHomePage();
    }
}
