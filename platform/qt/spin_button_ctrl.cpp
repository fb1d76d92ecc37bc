#include "platform/qt/spin_button_ctrl.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <algorithm>
#include <charconv>
#include <string>

namespace {

// A whole decimal number, optionally signed, and nothing else; blanks around it allowed.
bool parseWhole(const QString& text, long long& value) {
    const std::string s = text.trimmed().toStdString();
    if (s.empty() || s.size() > 18) {
        return false;
    }
    const char* first = s.data();
    if (*first == '+') {
        ++first;
    }
    const auto [end, error] = std::from_chars(first, s.data() + s.size(), value);
    return error == std::errc() && end == s.data() + s.size() && first != end;
}

QToolButton* makeArrow(QWidget* parent, Qt::ArrowType arrow) {
    auto* button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

}  // namespace

CSpinButtonCtrl::CSpinButtonCtrl(QWidget* parent)
    : QWidget(parent), up_(makeArrow(this, Qt::UpArrow)), down_(makeArrow(this, Qt::DownArrow)) {
    connect(up_, &QToolButton::clicked, this, [this] { step(1); });
    connect(down_, &QToolButton::clicked, this, [this] { step(-1); });
}

void CSpinButtonCtrl::SetBuddy(QLineEdit* buddy) {
    if (buddy_ != nullptr) {
        buddy_->removeEventFilter(this);
    }
    buddy_ = buddy;
    if (buddy_ != nullptr) {
        buddy_->installEventFilter(this);
    }
}

void CSpinButtonCtrl::SetRange32(int lower, int upper) {
    lower_ = lower;
    upper_ = upper;
}

void CSpinButtonCtrl::GetRange32(int& lower, int& upper) const {
    lower = lower_;
    upper = upper_;
}

void CSpinButtonCtrl::SetPos32(int position) {
    position_ = std::clamp(position, std::min(lower_, upper_), std::max(lower_, upper_));
    writeBuddy();
}

int CSpinButtonCtrl::GetPos32() {
    if (buddy_ != nullptr) {
        long long value = 0;
        if (parseWhole(buddy_->text(), value) && value >= std::min(lower_, upper_) &&
            value <= std::max(lower_, upper_)) {
            position_ = static_cast<int>(value);
        }
    }
    return position_;
}

void CSpinButtonCtrl::step(int delta) {
    const int from = GetPos32();
    const long long next = static_cast<long long>(from) + (lower_ <= upper_ ? delta : -delta);
    SetPos32(static_cast<int>(
        std::clamp<long long>(next, std::min(lower_, upper_), std::max(lower_, upper_))));
}

void CSpinButtonCtrl::writeBuddy() {
    if (buddy_ != nullptr) {
        buddy_->setText(QString::number(position_));
    }
}

bool CSpinButtonCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (arrowKeys_ && watched == buddy_ && event->type() == QEvent::KeyPress && isEnabled()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
            step(key->key() == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CSpinButtonCtrl::resizeEvent(QResizeEvent* event) {
    const int half = height() / 2;
    up_->setGeometry(0, 0, width(), half);
    down_->setGeometry(0, half, width(), height() - half);
    QWidget::resizeEvent(event);
}
