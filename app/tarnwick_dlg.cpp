#include "app/tarnwick_dlg.h"

#include <unistd.h>

#include <QContextMenuEvent>
#include <QMenu>
#include <array>
#include <climits>

#include "app/about_dlg.h"
#include "app/app_icon.h"
#include "app/home_page.h"
#include "panels/port_dlg.h"
#include "panels/setting_dlg.h"
#include "resources/dialog_templates.h"
#include "resources/string_table.h"
#include "settings/port_settings.h"

namespace {
CTarnwickDlg* g_liveWindow = nullptr;
}

CTarnwickDlg::CTarnwickDlg(QWidget* parent)
    : CDialog(::dialogTemplate(IDD_TARNWICK_DIALOG), parent), appIcon_(loadAppIcon()) {}

CTarnwickDlg::~CTarnwickDlg() {
    onDestroy();
}

CTarnwickDlg* CTarnwickDlg::liveWindow() {
    return g_liveWindow;
}

int CTarnwickDlg::DoModal() {
    int result = CDialog::DoModal();
    onDestroy();
    return result;
}

bool CTarnwickDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    g_liveWindow = this;

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

    panelCount_ = 1;
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
    setVisible(showAtStart_ == 1 ? 1 : 0);
    updateTitle();
    return true;
}

void CTarnwickDlg::createPanels() {
    for (int i = 0; i < panelCount_; ++i) {
        auto panel = std::make_unique<CPortDlg>();
        panel->Create(this);
        // A right click anywhere in the window reaches its menu, over a panel too.
        panel->installEventFilter(this);
        panel->setIndex(i);
        panel->setSettingsPath(iniPath_);
        panel->setSettingDlg(settingDlg_.get());
        panel->initPanel();
        panels_.push_back(std::move(panel));
    }
    if (!panels_.empty()) {
        panelRect_ = panels_.back()->frameGeometry();
    }
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
    // The template fixed the size; the panels decide it now.
    setFixedSize(windowWidth - frameWidth_, windowHeight - frameHeight_);
}

void CTarnwickDlg::updateTitle() {
    SetWindowText(std::string("ターンウィック Pico."));
}

void CTarnwickDlg::setVisible(int flag) {
    visible_ = flag;
    if (flag != 0) {
        show();
        showNormal();
    } else {
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
}

int CTarnwickDlg::exec() {
    if (ended_) {
        return result();
    }
    return CDialog::exec();
}

void CTarnwickDlg::sendCommand(unsigned int id) {
    OnCommand(static_cast<int>(id));
}

void CTarnwickDlg::OnCommand(int id) {
    if (id == static_cast<int>(ID_OPEN_MAIN_WINDOW)) {
        setVisible(1);
        raise();
        activateWindow();
        return;
    }
    if (id == static_cast<int>(ID_EXIT)) {
        setVisible(0);
        QMetaObject::invokeMethod(this, &CTarnwickDlg::sendClose, Qt::QueuedConnection);
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
    showSystemMenu(event->globalPos());
}

bool CTarnwickDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ContextMenu) {
        for (const std::unique_ptr<CPortDlg>& panel : panels_) {
            if (watched == panel.get()) {
                showSystemMenu(static_cast<QContextMenuEvent*>(event)->globalPos());
                return true;
            }
        }
    }
    return CDialog::eventFilter(watched, event);
}

void CTarnwickDlg::showSystemMenu(const QPoint& globalPosition) {
    if (systemMenu_.empty()) {
        return;
    }
    QMenu menu(this);
    for (const MenuItem& item : systemMenu_) {
        if (item.id == 0) {
            menu.addSeparator();
        } else {
            QAction* action = menu.addAction(
                QString::fromUtf8(item.text.data(), static_cast<qsizetype>(item.text.size())));
            action->setData(item.id);
        }
    }
    if (QAction* chosen = menu.exec(globalPosition)) {
        OnSysCommand(chosen->data().toUInt());
    }
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
    if (g_liveWindow == this) {
        g_liveWindow = nullptr;
    }
    for (std::unique_ptr<CPortDlg>& panel : panels_) {
        panel->saveAndStop();
        panel->hide();
        panel.reset();
    }
    panels_.clear();
    settingDlg_.reset();
}
