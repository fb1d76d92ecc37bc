#include "platform/qt/dialog_builder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/qt/link_ctrl.h"
#include "platform/qt/list_ctrl.h"
#include "platform/qt/spin_button_ctrl.h"
#include "platform/qt/ui_text.h"

namespace {

DialogIconLoader& iconLoader() {
    static DialogIconLoader loader;
    return loader;
}

Qt::Alignment horizontalAlignment(std::uint32_t styles) {
    if ((styles & style::kAlignRight) != 0) {
        return Qt::AlignRight;
    }
    if ((styles & style::kAlignCenter) != 0) {
        return Qt::AlignHCenter;
    }
    return Qt::AlignLeft;
}

Qt::FocusPolicy focusFor(std::uint32_t styles) {
    return (styles & style::kTabStop) != 0 ? Qt::StrongFocus : Qt::ClickFocus;
}

// Template texts are the program's own; shown in the user's language.
QString textOf(const ControlTemplate& control) {
    return uiText(kResourceContext, control.text);
}

QWidget* makeControl(const ControlTemplate& control, QWidget* host) {
    switch (control.kind) {
        case ControlKind::PushButton: {
            auto* button = new QPushButton(textOf(control), host);
            button->setDefault((control.styles & style::kDefaultButton) != 0);
            return button;
        }
        case ControlKind::PushLikeCheck: {
            auto* button = new QPushButton(textOf(control), host);
            button->setCheckable(true);
            button->setAutoDefault(false);
            return button;
        }
        case ControlKind::CheckBox:
            return new QCheckBox(textOf(control), host);
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(textOf(control), host);
            edit->setAlignment(horizontalAlignment(control.styles) | Qt::AlignVCenter);
            return edit;
        }
        case ControlKind::Label: {
            auto* label = new QLabel(textOf(control), host);
            label->setTextFormat(Qt::PlainText);
            const Qt::Alignment vertical =
                (control.styles & style::kCenterImage) != 0 ? Qt::AlignVCenter : Qt::AlignTop;
            label->setAlignment(horizontalAlignment(control.styles) | vertical);
            return label;
        }
        case ControlKind::GroupBox:
            return new QGroupBox(textOf(control), host);
        case ControlKind::UpDown:
            return new CSpinButtonCtrl(host);
        case ControlKind::ListView: {
            auto* list = new CListCtrl(host);
            list->setFrameShape((control.styles & style::kBorder) != 0 ? QFrame::StyledPanel
                                                                       : QFrame::NoFrame);
            return list;
        }
        case ControlKind::Link:
            return new CLinkCtrl(uiString(kResourceContext, control.text), host);
        case ControlKind::Icon:
            return new QLabel(host);
        case ControlKind::ComboBox: {
            auto* combo = new QComboBox(host);
            combo->setEditable((control.styles & style::kDropDownList) == 0);
            return combo;
        }
    }
    return new QWidget(host);
}

// The up-down sits against the right edge of its buddy, which gives up that much width.
void attachUpDown(CSpinButtonCtrl& upDown, const ControlTemplate& control, QWidget* previous) {
    auto* buddy = dynamic_cast<QLineEdit*>(previous);
    if (buddy == nullptr) {
        return;
    }
    upDown.SetBuddy(buddy);
    upDown.setArrowKeys((control.styles & style::kArrowKeys) != 0);
    if ((control.styles & style::kAlignBuddyRight) != 0) {
        QRect edit = buddy->geometry();
        const int width = std::min(upDown.width(), edit.width() / 2);
        edit.setWidth(edit.width() - width + 2);
        buddy->setGeometry(edit);
        upDown.setGeometry(edit.right() - 1, edit.top(), width, edit.height());
    }
}

const char* const kFullText = "fullText";

const char* const kTemplateRect = "templateRect";

// The template's sizes suit a narrower font than the Linux fallbacks: a label grows from
// its alignment edge into room that no other control takes (inside the frame that holds
// it), just enough to show its text, and shrinks back for shorter texts.
void growIntoFreeRoom(QLabel& label, const DialogControls& built, const QWidget& host) {
    const QVariant stored = label.property(kTemplateRect);
    const QRect base = stored.isValid() ? stored.toRect() : label.geometry();
    label.setProperty(kTemplateRect, base);
    int leftLimit = 0;
    int rightLimit = host.width() - 1;
    for (const BuiltControl& other : built.all()) {
        const QRect r = other.widget->geometry();
        if (other.widget == &label) {
            continue;
        }
        if (r.contains(base)) {
            leftLimit = std::max(leftLimit, r.left() + 2);
            rightLimit = std::min(rightLimit, r.right() - 2);
        } else if (r.bottom() >= base.top() && r.top() <= base.bottom()) {
            if (r.right() < base.left()) {
                leftLimit = std::max(leftLimit, r.right() + 2);
            } else if (r.left() > base.right()) {
                rightLimit = std::min(rightLimit, r.left() - 2);
            }
        }
    }
    const int extra =
        std::max(0, label.fontMetrics().horizontalAdvance(labelFullText(label)) + 1 - base.width());
    QRect grown = base;
    const Qt::Alignment alignment = label.alignment();
    if ((alignment & Qt::AlignRight) != 0) {
        grown.setLeft(base.left() - extra);
    } else if ((alignment & Qt::AlignHCenter) != 0) {
        grown.adjust(-extra / 2, 0, extra - extra / 2, 0);
    } else {
        grown.setRight(base.right() + extra);
    }
    grown.setLeft(std::max(grown.left(), std::min(leftLimit, base.left())));
    grown.setRight(std::min(grown.right(), std::max(rightLimit, base.right())));
    label.setGeometry(grown);
}

}  // namespace

void setLabelText(QLabel& label, const QString& text, const DialogControls* siblings) {
    label.setProperty(kFullText, text);
    if (siblings != nullptr && label.parentWidget() != nullptr) {
        growIntoFreeRoom(label, *siblings, *label.parentWidget());
    }
    const int room = label.contentsRect().width();
    const QString shown = label.fontMetrics().elidedText(text, Qt::ElideRight, room);
    label.setText(shown);
    label.setToolTip(shown == text ? QString() : text);
}

QString labelFullText(const QLabel& label) {
    const QVariant full = label.property(kFullText);
    return full.isValid() ? full.toString() : label.text();
}

QWidget* DialogControls::find(int id) const {
    if (id == IDC_STATIC) {
        return nullptr;
    }
    const auto it = std::find_if(controls_.begin(), controls_.end(),
                                 [id](const BuiltControl& c) { return c.id == id; });
    return it == controls_.end() ? nullptr : it->widget;
}

const BuiltControl* DialogControls::describe(const QWidget* widget) const {
    const auto it = std::find_if(controls_.begin(), controls_.end(),
                                 [widget](const BuiltControl& c) { return c.widget == widget; });
    return it == controls_.end() ? nullptr : &*it;
}

QFont templateFont(const DialogTemplate& dialog) {
    return dialogFont(dialog.fontFace, dialog.fontPoints);
}

DialogBaseUnits templateBaseUnits(const DialogTemplate& dialog) {
    return dialogBaseUnits(templateFont(dialog));
}

QSize templateClientSize(const DialogTemplate& dialog) {
    return dialogUnitsToPixels(templateBaseUnits(dialog), 0, 0, dialog.cx, dialog.cy).size();
}

void setDialogIconLoader(DialogIconLoader loader) {
    iconLoader() = std::move(loader);
}

DialogControls buildDialogControls(const DialogTemplate& dialog, QWidget* host) {
    const QFont font = templateFont(dialog);
    const DialogBaseUnits units = dialogBaseUnits(font);
    host->setFont(font);
    host->resize(templateClientSize(dialog));

    DialogControls built;
    QWidget* previous = nullptr;
    QWidget* previousFocus = nullptr;
    for (const ControlTemplate& control : dialog.controls) {
        QWidget* widget = makeControl(control, host);
        widget->setGeometry(
            dialogUnitsToPixels(units, control.x, control.y, control.cx, control.cy));
        if (control.id != IDC_STATIC) {
            widget->setObjectName(QStringLiteral("control%1").arg(control.id));
        }
        if (control.kind == ControlKind::Label) {
            static_cast<QLabel*>(widget)->setProperty(kFullText, textOf(control));
        }
        if (control.kind == ControlKind::UpDown) {
            attachUpDown(*static_cast<CSpinButtonCtrl*>(widget), control, previous);
        } else if (control.kind == ControlKind::Icon && iconLoader()) {
            auto* label = static_cast<QLabel*>(widget);
            const int resource = static_cast<int>(std::strtol(control.text, nullptr, 10));
            label->setPixmap(iconLoader()(resource, widget->size()));
        }
        if (control.kind != ControlKind::Label && control.kind != ControlKind::GroupBox &&
            control.kind != ControlKind::Icon && control.kind != ControlKind::UpDown) {
            widget->setFocusPolicy(focusFor(control.styles));
            if (previousFocus != nullptr) {
                QWidget::setTabOrder(previousFocus, widget);
            }
            previousFocus = widget;
        }
        built.add({control.id, control.kind, widget});
        previous = widget;
    }
    for (const BuiltControl& control : built.all()) {
        if (control.kind == ControlKind::Label) {
            auto* label = static_cast<QLabel*>(control.widget);
            setLabelText(*label, labelFullText(*label), &built);
        }
    }
    return built;
}
