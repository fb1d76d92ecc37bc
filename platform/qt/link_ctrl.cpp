#include "platform/qt/link_ctrl.h"

namespace {

QString toRichText(const std::string& marked) {
    QString text = QString::fromStdString(marked).toHtmlEscaped();
    text.replace(QStringLiteral("&lt;a&gt;"), QStringLiteral("<a href=\"#\">"));
    text.replace(QStringLiteral("&lt;/a&gt;"), QStringLiteral("</a>"));
    return text;
}

}  // namespace

CLinkCtrl::CLinkCtrl(const std::string& markedText, QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::RichText);
    setText(toRichText(markedText));
    setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    setOpenExternalLinks(false);
    connect(this, &QLabel::linkActivated, this, [this](const QString&) { click(); });
}

void CLinkCtrl::click() {
    if (handler_) {
        handler_();
    }
}
