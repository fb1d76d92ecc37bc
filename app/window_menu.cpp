#include "app/window_menu.h"

#include <QMenu>

#include "platform/qt/ui_text.h"

namespace {

QAction* addCheck(QMenu& menu, const char* text, unsigned int id, bool checked) {
    QAction* action = menu.addAction(uiText("WindowMenu", text));
    action->setData(id);
    action->setCheckable(true);
    action->setChecked(checked);
    return action;
}

}  // namespace

WindowMenuChoice chooseFromWindowMenu(QWidget& owner, const QPoint& globalPosition,
                                      const WindowMenuOffer& offer) {
    QMenu menu(&owner);
    if (offer.removeItem) {
        QAction* remove = menu.addAction(uiText("WindowMenu", "このポートを削除"));
        remove->setData(IDM_REMOVEPORT);
        remove->setEnabled(offer.removeEnabled);
        menu.addSeparator();
    }
    QAction* add = menu.addAction(uiText("WindowMenu", "ポートを追加"));
    add->setData(IDM_ADDPORT);
    add->setEnabled(offer.addEnabled);
    if (offer.optionItems) {
        menu.addSeparator();
        addCheck(menu, QT_TRANSLATE_NOOP("WindowMenu", "通知領域に常駐"), IDM_TRAY, offer.trayOn);
        addCheck(menu, QT_TRANSLATE_NOOP("WindowMenu", "ログイン時に起動"), IDM_AUTOSTART,
                 offer.autostartOn);
        // The language's own name, the same in either language.
        QAction* english = addCheck(menu, "English", IDM_ENGLISH, offer.englishOn);
        english->setToolTip(uiText("WindowMenu",
                                   "次回の起動から切り替わります。チェックすると英語、"
                                   "外すと日本語で表示します"));
        menu.setToolTipsVisible(true);
    }
    if (offer.systemItems != nullptr) {
        for (const MenuItem& item : *offer.systemItems) {
            if (item.id == 0) {
                menu.addSeparator();
            } else {
                menu.addAction(uiText(kResourceContext, item.text))->setData(item.id);
            }
        }
    }
    const QAction* chosen = menu.exec(globalPosition);
    if (chosen == nullptr) {
        return {};
    }
    return {chosen->data().toUInt(), chosen->isChecked()};
}
