#include "platform/qt/ui_text.h"

#include <QCoreApplication>

QString uiText(const char* context, const char* source) {
    return QCoreApplication::translate(context, source);
}

QString uiText(const char* context, std::string_view source) {
    // The lookup needs the text with its terminating zero.
    return uiText(context, std::string(source).c_str());
}

std::string uiString(const char* context, const char* source) {
    return uiText(context, source).toStdString();
}
