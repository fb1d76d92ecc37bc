#include "platform/qt/message_box.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>

#include "platform/qt/dialog_template.h"

namespace {

bool answerWithoutDisplay = false;

int unansweredResult(unsigned type) {
    switch (type & MB_TYPEMASK) {
        case MB_YESNO:
            return IDNO;
        case MB_OKCANCEL:
            return IDCANCEL;
        default:
            return IDOK;
    }
}

// Boxes belong to the dialogs: a window outside them (the debug console) never owns one
// and so is never blocked by one.
QWidget* boxOwner(QWidget* asked) {
    if (asked != nullptr) {
        return asked;
    }
    QWidget* owner = QApplication::activeModalWidget();
    if (owner == nullptr) {
        owner = QApplication::activeWindow();
    }
    return qobject_cast<QDialog*>(owner);
}

class QtMessageBoxService final : public MessageBoxService {
  public:
    int showMessageBox(const MessageBoxRequest& request) override {
        if (answerWithoutDisplay) {
            std::fprintf(stderr, "%s: %s\n", request.caption.c_str(), request.text.c_str());
            std::fflush(stderr);
            return unansweredResult(request.type);
        }
        QMessageBox box(boxOwner(request.owner));
        box.setWindowModality(Qt::WindowModal);
        box.setWindowTitle(QString::fromStdString(request.caption));
        box.setText(QString::fromStdString(request.text));
        box.setTextFormat(Qt::PlainText);
        switch (request.type & MB_ICONMASK) {
            case MB_ICONERROR:
                box.setIcon(QMessageBox::Critical);
                break;
            case MB_ICONQUESTION:
                box.setIcon(QMessageBox::Question);
                break;
            case MB_ICONWARNING:
                box.setIcon(QMessageBox::Warning);
                break;
            case MB_ICONINFORMATION:
                box.setIcon(QMessageBox::Information);
                break;
            default:
                box.setIcon(QMessageBox::NoIcon);
                break;
        }
        switch (request.type & MB_TYPEMASK) {
            case MB_YESNO:
                box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
                box.setDefaultButton(QMessageBox::Yes);
                break;
            case MB_OKCANCEL:
                box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
                box.setDefaultButton(QMessageBox::Ok);
                break;
            default:
                box.setStandardButtons(QMessageBox::Ok);
                break;
        }
        box.exec();
        QAbstractButton* clicked = box.clickedButton();
        switch (box.standardButton(clicked)) {
            case QMessageBox::Yes:
                return IDYES;
            case QMessageBox::No:
                return IDNO;
            case QMessageBox::Ok:
                return IDOK;
            default:
                // Escape or the close box: the box's cancel answer.
                return unansweredResult(request.type);
        }
    }
};

QtMessageBoxService& standardService() {
    static QtMessageBoxService service;
    return service;
}

MessageBoxService* installed = nullptr;

MessageBoxService& currentService() {
    return installed != nullptr ? *installed : standardService();
}

}  // namespace

void setAnswerWithoutDisplay(bool on) {
    answerWithoutDisplay = on;
}

bool answersWithoutDisplay() {
    return answerWithoutDisplay;
}

bool platformHasNoDisplay() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

MessageBoxService* installMessageBoxService(MessageBoxService* service) {
    MessageBoxService* previous = installed;
    installed = service;
    return previous;
}

std::string applicationTitle() {
    QString path = QCoreApplication::applicationFilePath();
    if (path.isEmpty() && !QCoreApplication::arguments().isEmpty()) {
        path = QCoreApplication::arguments().constFirst();
    }
    const QFileInfo file(path);
    QString title = file.fileName();
    const auto dot = title.lastIndexOf(QLatin1Char('.'));
    if (dot > 0) {
        title.truncate(dot);
    }
    return title.toStdString();
}

int MessageBoxA(QWidget* owner, const std::string& text, const std::string& caption,
                unsigned type) {
    MessageBoxRequest request;
    request.owner = owner;
    request.text = text;
    request.caption = caption;
    request.type = type;
    return currentService().showMessageBox(request);
}

int AfxMessageBox(const std::string& text, unsigned type) {
    if ((type & MB_ICONMASK) == 0) {
        const unsigned buttons = type & MB_TYPEMASK;
        type |= (buttons == MB_YESNO) ? MB_ICONQUESTION : MB_ICONWARNING;
    }
    return MessageBoxA(nullptr, text, applicationTitle(), type);
}
