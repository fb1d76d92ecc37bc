#include "platform/qt/dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionGroupBox>

#include <cstdio>

#include "platform/qt/link_ctrl.h"
#include "platform/qt/message_box.h"
#include "platform/qt/ui_text.h"

namespace {

CtlColor colorKindOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::PushButton:
        case ControlKind::PushLikeCheck:
            return CtlColor::Button;
        case ControlKind::Edit:
        case ControlKind::ComboBox:
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

const char* const kGivenBytes = "givenBytes";

// Text that is not valid UTF-8 shows with replacement characters. While a control still
// shows what it was given, reading it gives back the bytes it was given, so a host name
// the user never touched is stored again unchanged.
void rememberBytes(QWidget& control, const std::string& bytes) {
    control.setProperty(kGivenBytes,
                        QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

std::string shownBytes(const QWidget& control, const QString& shown) {
    const QByteArray given = control.property(kGivenBytes).toByteArray();
    if (!given.isNull() && QString::fromUtf8(given) == shown) {
        return given.toStdString();
    }
    return shown.toStdString();
}

}  // namespace

CDialog::CDialog(const DialogTemplate& dialogTemplate, QWidget* parent)
    : QDialog(parent), template_(dialogTemplate) {}

CDialog::~CDialog() = default;

void CDialog::build(QWidget* parent) {
    setParent(parent, windowFlagsFor(template_.styles));
    controls_ = buildDialogControls(template_, this);
    setWindowTitle(uiText(kResourceContext, template_.caption));
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
    if (answersWithoutDisplay() && parentWidget() != nullptr) {
        // Nobody could close it: it ends as if closed unseen.
        std::fprintf(stderr, "%s\n", uiString(kResourceContext, template_.caption).c_str());
        std::fflush(stderr);
        return IDCANCEL;
    }
    // Modal to its owner only: a window outside the dialogs (the debug console) stays usable.
    setWindowModality(Qt::WindowModal);
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
        return shownBytes(*edit, edit->text());
    }
    if (auto* label = dynamic_cast<QLabel*>(widget)) {
        return shownBytes(*label, labelFullText(*label));
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
        rememberBytes(*edit, text);
        edit->setText(value);
    } else if (auto* label = dynamic_cast<QLabel*>(widget)) {
        rememberBytes(*label, text);
        // A refresh rewrites every field; measuring an unchanged text again costs a
        // shaping pass per label on every connection count change.
        if (labelFullText(*label) == value) {
            return;
        }
        if (dynamic_cast<CLinkCtrl*>(label) == nullptr) {
            setLabelText(*label, value, &controls_);
        } else {
            label->setText(value);
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
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool plain = event->modifiers() == Qt::NoModifier ||
                       (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
    if (enter && plain) {
        pressDefaultButton(event);
        return;
    }
    QDialog::keyPressEvent(event);
}

void CDialog::pressDefaultButton(QKeyEvent* event) {
    // QDialog's search would also find the default button of a window this one owns.
    for (QPushButton* button : findChildren<QPushButton*>()) {
        if (button->window() == this && button->isDefault() && button->isVisible()) {
            if (button->isEnabled()) {
                button->click();
            }
            return;
        }
    }
    event->ignore();
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

namespace {

void cancelWindow(QWidget& window) {
    if (auto* box = qobject_cast<QMessageBox*>(&window)) {
        QAbstractButton* answer = box->button(QMessageBox::Cancel);
        if (answer == nullptr) {
            answer = box->defaultButton();
        }
        if (answer == nullptr && !box->buttons().isEmpty()) {
            answer = box->buttons().constFirst();
        }
        if (answer != nullptr) {
            answer->click();
        }
    } else if (auto* dialog = qobject_cast<QDialog*>(&window)) {
        dialog->reject();
    }
    // A window that refused its cancel must still not hold the nested loop it runs.
    if (window.isModal() && window.isVisible()) {
        window.hide();
    }
}

}  // namespace

void cancelOtherWindows(const QWidget* keep) {
    constexpr int kMostWindows = 64;
    for (int i = 0; i < kMostWindows; ++i) {
        QWidget* popup = QApplication::activePopupWidget();
        if (popup == nullptr) {
            break;
        }
        popup->close();
    }
    for (int i = 0; i < kMostWindows; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == keep) {
            break;
        }
        cancelWindow(*modal);
    }
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window != keep && window->isVisible() && qobject_cast<QDialog*>(window) != nullptr) {
            cancelWindow(*window);
        }
    }
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
