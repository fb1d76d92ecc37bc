#include "app/tray_icon.h"

#include <QMenu>
#include <QPointer>

#include "app/app_icon.h"
#include "app/tarnwick_dlg.h"
#include "panels/port_dlg.h"
#include "resources/dialog_templates.h"
#include "resources/tray_menu.h"

namespace {

constexpr int kToolTipRefreshMs = 500;
constexpr int kNoteMs = 5000;

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

CTrayIcon::CTrayIcon(CTarnwickDlg& window)
    : window_(window), menu_(std::make_unique<QMenu>()), icon_(loadAppIcon()) {
    refreshMenu();
    icon_.setContextMenu(menu_.get());
    QObject::connect(menu_.get(), &QMenu::aboutToShow, this, [this] { refreshMenu(); });
    QObject::connect(&icon_, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) { onActivated(reason); });
    refreshToolTip();
    QObject::connect(&refresh_, &QTimer::timeout, this, [this] { refreshToolTip(); });
    refresh_.start(kToolTipRefreshMs);
    icon_.show();
}

CTrayIcon::~CTrayIcon() {
    icon_.hide();
    icon_.setContextMenu(nullptr);
}

QMenu& CTrayIcon::menu() {
    return *menu_;
}

std::string CTrayIcon::panelLabel(const CPortDlg& panel) {
    return std::string(panel.isUdp() ? "UDP:" : "TCP:") + std::to_string(panel.getListenPort()) +
           " → " + panel.getForwardHost() + ":" + std::to_string(panel.getForwardPort());
}

void CTrayIcon::refreshMenu() {
    menu_->clear();
    const MenuResource resource = loadMenuResource(IDR_TRAY_MENU);
    for (const MenuItem& item : resource.items) {
        if (item.id == 0) {
            menu_->addSeparator();
            continue;
        }
        const unsigned int id = item.id;
        QAction* action = menu_->addAction(fromView(item.text));
        action->setData(id);
        // Queued: the command may end the window, which owns this menu.
        QObject::connect(action, &QAction::triggered, this, [this, id] {
            QPointer<CTarnwickDlg> window(&window_);
            QMetaObject::invokeMethod(
                &window_,
                [window, id] {
                    if (window)
                        window->sendCommand(id);
                },
                Qt::QueuedConnection);
        });
        if (id != ID_OPEN_MAIN_WINDOW) {
            continue;
        }
        const auto& panels = window_.panels();
        for (std::size_t i = 0; i < panels.size(); ++i) {
            QAction* check = menu_->addAction(QString::fromStdString(panelLabel(*panels[i])));
            check->setCheckable(true);
            check->setChecked(panels[i]->getSwitchState() != 0);
            const int index = static_cast<int>(i);
            QObject::connect(check, &QAction::triggered, this, [this, index] {
                QMetaObject::invokeMethod(
                    this, [this, index] { switchPanel(index); }, Qt::QueuedConnection);
            });
        }
    }
}

void CTrayIcon::switchPanel(int index) {
    const auto& panels = window_.panels();
    if (index >= 0 && static_cast<std::size_t>(index) < panels.size()) {
        // As if the user clicked the panel's own switch: its rules, its messages.
        panels[static_cast<std::size_t>(index)]->clickControl(IDC_SWITCH);
    }
}

QString CTrayIcon::toolTip() const {
    int total = 0;
    for (const std::unique_ptr<CPortDlg>& panel : window_.panels()) {
        total += panel->getConnectionCount();
    }
    return window_.windowTitle() + QStringLiteral("\n接続数 ") + QString::number(total);
}

void CTrayIcon::refreshToolTip() {
    const QString text = toolTip();
    if (text != icon_.toolTip()) {
        icon_.setToolTip(text);
    }
}

void CTrayIcon::showHiddenNote() {
    ++notesShown_;
    icon_.showMessage(window_.windowTitle(),
                      QStringLiteral("ウィンドウを閉じても通知領域で動作を続けます。"),
                      QSystemTrayIcon::Information, kNoteMs);
}

void CTrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger) {
        return;
    }
    if (window_.isVisible() && !window_.isMinimized()) {
        window_.hideToTray();
    } else {
        window_.sendCommand(ID_OPEN_MAIN_WINDOW);
    }
}
