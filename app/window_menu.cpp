#include "app/window_menu.h"

#include <QMenu>

namespace {

void addCheck(QMenu& menu, const char* text, unsigned int id, bool checked) {
    QAction* action = menu.addAction(QString::fromUtf8(text));
    action->setData(id);
    action->setCheckable(true);
    action->setChecked(checked);
}

}  // namespace

WindowMenuChoice chooseFromWindowMenu(QWidget& owner, const QPoint& globalPosition,
                                      const WindowMenuOffer& offer) {
    QMenu menu(&owner);
    if (offer.removeItem) {
        QAction* remove = menu.addAction(QString::fromUtf8("このポートを削除"));
        remove->setData(IDM_REMOVEPORT);
        remove->setEnabled(offer.removeEnabled);
        menu.addSeparator();
    }
    QAction* add = menu.addAction(QString::fromUtf8("ポートを追加"));
    add->setData(IDM_ADDPORT);
    add->setEnabled(offer.addEnabled);
    if (offer.optionItems) {
        menu.addSeparator();
        addCheck(menu, "通知領域に常駐", IDM_TRAY, offer.trayOn);
        addCheck(menu, "ログイン時に起動", IDM_AUTOSTART, offer.autostartOn);
    }
    if (offer.systemItems != nullptr) {
        for (const MenuItem& item : *offer.systemItems) {
            if (item.id == 0) {
                menu.addSeparator();
            } else {
                menu.addAction(QString::fromUtf8(item.text.data(),
                                                 static_cast<qsizetype>(item.text.size())))
                    ->setData(item.id);
            }
        }
    }
    const QAction* chosen = menu.exec(globalPosition);
    if (chosen == nullptr) {
        return {};
    }
    return {chosen->data().toUInt(), chosen->isChecked()};
}
