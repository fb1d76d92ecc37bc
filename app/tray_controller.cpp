#include "app/tray_controller.h"

#include <QMenu>

#include "app/app_icon.h"
#include "platform/qt/ui_text.h"
#include "resources/tray_menu.h"

namespace {

constexpr int kNoteMs = 5000;

}  // namespace

CTrayController::CTrayController() : menu_(std::make_unique<QMenu>()), icon_(loadAppIcon()) {
    buildMenu(0);
    icon_.setContextMenu(menu_.get());
    QObject::connect(&icon_, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) { onActivated(reason); });
    icon_.show();
}

CTrayController::~CTrayController() {
    icon_.hide();
    icon_.setContextMenu(nullptr);
}

void CTrayController::buildMenu(std::size_t entryCount) {
    menu_->clear();
    entryActions_.clear();
    for (const MenuItem& item : loadMenuResource(IDR_TRAY_MENU).items) {
        if (item.id == 0) {
            menu_->addSeparator();
            continue;
        }
        QAction* action = menu_->addAction(uiText(kResourceContext, item.text));
        action->setData(item.id);
        if (item.id == ID_EXIT) {
            QObject::connect(action, &QAction::triggered, this, &CTrayController::quitRequested);
            continue;
        }
        if (item.id != ID_OPEN_MAIN_WINDOW) {
            continue;
        }
        QObject::connect(action, &QAction::triggered, this, &CTrayController::showRequested);
        for (std::size_t i = 0; i < entryCount; ++i) {
            QAction* check = menu_->addAction(QString());
            check->setCheckable(true);
            const int index = static_cast<int>(i);
            QObject::connect(check, &QAction::triggered, this,
                             [this, index] { Q_EMIT switchRequested(index); });
            entryActions_.push_back(check);
        }
    }
}

void CTrayController::setSummary(const QString& toolTip, const std::vector<TrayEntry>& entries) {
    if (toolTip != icon_.toolTip()) {
        icon_.setToolTip(toolTip);
    }
    if (entries.size() != entryActions_.size()) {
        buildMenu(entries.size());
    }
    // Every item, also an unchanged one: a check item toggles itself when chosen, and a
    // refused switch leaves the panel as it was.
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entryActions_[i]->setText(entries[i].label);
        entryActions_[i]->setChecked(entries[i].on);
    }
}

void CTrayController::showHiddenNote(const QString& title) {
    ++notesShown_;
    icon_.showMessage(title, uiText("Tray", "ウィンドウを閉じても通知領域で動作を続けます。"),
                      QSystemTrayIcon::Information, kNoteMs);
}

void CTrayController::onActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) {
        Q_EMIT toggleRequested();
    }
}
