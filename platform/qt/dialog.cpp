#include "platform/qt/dialog.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QScreen>
#include <QStyleOptionGroupBox>

#include "platform/qt/link_ctrl.h"

namespace {

CtlColor colorKindOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::PushButton:
        case ControlKind::PushLikeCheck:
            return CtlColor::Button;
        case ControlKind::Edit:
            return CtlColor::Edit;
        case ControlKind::ListView:
            return CtlColor::ListBox;
        case ControlKind::UpDown:
            return CtlColor::ScrollBar;
        default:
            return CtlColor::Static;
    }
}

Qt::WindowFlags windowFlagsFor(std::uint32_t styles) {
    if ((styles & style::kChild) != 0) {
        return Qt::Widget;
    }
    Qt::WindowFlags flags = (styles & style::kAppWindow) != 0 ? Qt::Window : Qt::Dialog;
    flags |= Qt::CustomizeWindowHint;
    if ((styles & style::kCaption) != 0) {
        flags |= Qt::WindowTitleHint;
    }
    if ((styles & style::kSysMenu) != 0) {
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    }
    if ((styles & style::kMinimizeBox) != 0) {
        flags |= Qt::WindowMinimizeButtonHint;
    }
    return flags;
}

}  // namespace

CDialog::CDialog(const DialogTemplate& dialogTemplate, QWidget* parent)
    : QDialog(parent), template_(dialogTemplate) {}

CDialog::~CDialog() = default;

void CDialog::build(QWidget* parent) {
    setParent(parent, windowFlagsFor(template_.styles));
    controls_ = buildDialogControls(template_, this);
    setWindowTitle(QString::fromUtf8(template_.caption));
    if ((template_.styles & style::kChild) == 0) {
        setFixedSize(size());
    }
    for (const BuiltControl& control : controls_.all()) {
        control.widget->installEventFilter(this);
        if (auto* button = dynamic_cast<QAbstractButton*>(control.widget)) {
            const int id = control.id;
            connect(button, &QAbstractButton::clicked, this, [this, id] { OnCommand(id); });
        } else if (auto* link = dynamic_cast<CLinkCtrl*>(control.widget)) {
            const int id = control.id;
            link->setClickHandler([this, id] { OnLinkClick(id); });
        }
    }
    created_ = true;
}

bool CDialog::Create(QWidget* parent) {
    if (created_) {
        return false;
    }
    build(parent);
    OnInitDialog();
    if ((template_.styles & style::kVisible) != 0) {
        show();
    }
    return true;
}

int CDialog::DoModal() {
    if (!created_) {
        build(parentWidget());
    }
    setModal(true);
    OnInitDialog();
    return exec();
}

void CDialog::EndDialog(int result) {
    done(result);
}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::DoDataExchange(CDataExchange&) {}

bool CDialog::UpdateData(bool saveAndValidate) {
    CDataExchange dx(*this, saveAndValidate);
    DoDataExchange(dx);
    return true;
}

std::string CDialog::GetDlgItemText(int id) const {
    QWidget* widget = GetDlgItem(id);
    if (auto* edit = dynamic_cast<QLineEdit*>(widget)) {
        return edit->text().toStdString();
    }
    if (auto* label = dynamic_cast<QLabel*>(widget)) {
        return label->text().toStdString();
    }
    if (auto* button = dynamic_cast<QAbstractButton*>(widget)) {
        return button->text().toStdString();
    }
    if (auto* group = dynamic_cast<QGroupBox*>(widget)) {
        return group->title().toStdString();
    }
    return {};
}

void CDialog::SetDlgItemText(int id, const std::string& text) {
    QWidget* widget = GetDlgItem(id);
    const QString value = QString::fromStdString(text);
    if (auto* edit = dynamic_cast<QLineEdit*>(widget)) {
        edit->setText(value);
    } else if (auto* label = dynamic_cast<QLabel*>(widget)) {
        // A refresh rewrites every field; measuring an unchanged text again costs a
        // shaping pass per label on every connection count change.
        if (label->text() == value) {
            return;
        }
        label->setText(value);
        if (dynamic_cast<CLinkCtrl*>(label) == nullptr) {
            fitLabelToText(*label);
        }
    } else if (auto* button = dynamic_cast<QAbstractButton*>(widget)) {
        button->setText(value);
    } else if (auto* group = dynamic_cast<QGroupBox*>(widget)) {
        group->setTitle(value);
    }
}

void CDialog::SetWindowText(const std::string& text) {
    setWindowTitle(QString::fromStdString(text));
}

std::string CDialog::GetWindowText() const {
    return windowTitle().toStdString();
}

void CDialog::CenterWindow(QWidget* alternateOwner) {
    QWidget* owner = alternateOwner != nullptr ? alternateOwner : parentWidget();
    QRect area;
    if (owner != nullptr && owner->window()->isVisible()) {
        area = owner->window()->geometry();
    }
    if (area.isEmpty()) {
        QScreen* screen =
            this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
        if (screen == nullptr) {
            return;
        }
        area = screen->availableGeometry();
    }
    // Client areas, not frames: a window not yet shown does not know its frame yet, and
    // both frames are alike.
    QRect client = geometry();
    client.moveCenter(area.center());
    setGeometry(client);
}

void CDialog::clickControl(int id) {
    if (auto* button = dlgItem<QAbstractButton>(id); button != nullptr && button->isEnabled()) {
        button->click();
    }
}

void CDialog::OnCommand(int id) {
    if (id == IDOK) {
        OnOK();
    } else if (id == IDCANCEL) {
        OnCancel();
    }
}

void CDialog::OnOK() {
    UpdateData(true);
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::OnLinkClick(int) {}

std::optional<QColor> CDialog::OnCtlColor(int, CtlColor) {
    return std::nullopt;
}

void CDialog::accept() {
    OnCommand(IDOK);
}

void CDialog::reject() {
    OnCommand(IDCANCEL);
}

void CDialog::keyPressEvent(QKeyEvent* event) {
    if ((template_.styles & style::kChild) != 0) {
        // A child dialog is one more control of its parent, which handles Enter and Escape:
        // QDialog's own handling is skipped on purpose.
        QWidget::keyPressEvent(event);  // NOLINT(bugprone-parent-virtual-call)
        return;
    }
    QDialog::keyPressEvent(event);
}

void CDialog::paintEvent(QPaintEvent* event) {
    if (const auto brush = OnCtlColor(IDC_STATIC, CtlColor::Dialog)) {
        QPainter painter(this);
        painter.fillRect(rect(), *brush);
    }
    if ((template_.styles & (style::kThinBorder | style::kStaticEdge)) != 0) {
        QPainter painter(this);
        const QRect inner = rect().adjusted(0, 0, -1, -1);
        painter.setPen(palette().color(QPalette::Shadow));
        painter.drawRect(inner);
        if ((template_.styles & style::kStaticEdge) != 0) {
            painter.setPen(palette().color(QPalette::Mid));
            painter.drawLine(inner.topLeft() + QPoint(1, 1), inner.topRight() + QPoint(-1, 1));
            painter.drawLine(inner.topLeft() + QPoint(1, 1), inner.bottomLeft() + QPoint(1, -1));
        }
    }
    QDialog::paintEvent(event);
}

void CDialog::paintControlBackground(QWidget* widget, const BuiltControl& control) {
    const auto brush = OnCtlColor(control.id, colorKindOf(control.kind));
    if (!brush) {
        return;
    }
    QPainter painter(widget);
    if (auto* group = dynamic_cast<QGroupBox*>(widget)) {
        // Only the caption's background: the frame keeps the dialog's.
        QStyleOptionGroupBox option;
        option.initFrom(group);
        option.text = group->title();
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        option.textAlignment = group->alignment();
        const QRect label = group->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                           QStyle::SC_GroupBoxLabel, group);
        painter.fillRect(label, *brush);
        return;
    }
    painter.fillRect(widget->rect(), *brush);
}

bool CDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Paint) {
        auto* widget = static_cast<QWidget*>(watched);
        if (const BuiltControl* control = controls_.describe(widget)) {
            paintControlBackground(widget, *control);
        }
    }
    return QDialog::eventFilter(watched, event);
}

void DDX_Text(CDataExchange& dx, int id, std::string& value) {
    if (dx.m_bSaveAndValidate) {
        value = dx.m_pDlgWnd->GetDlgItemText(id);
    } else {
        dx.m_pDlgWnd->SetDlgItemText(id, value);
    }
}

void DDX_Check(CDataExchange& dx, int id, int& value) {
    auto* button = dx.m_pDlgWnd->dlgItem<QAbstractButton>(id);
    if (button == nullptr) {
        return;
    }
    if (dx.m_bSaveAndValidate) {
        value = button->isChecked() ? 1 : 0;
        return;
    }
    if (value < 0 || value > 2) {
        value = 0;
    }
    button->setChecked(value != 0);
}
