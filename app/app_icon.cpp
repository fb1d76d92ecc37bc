#include "app/app_icon.h"

#include <QPixmap>

#include "platform/qt/dialog_builder.h"
#include "resources/dialog_templates.h"

// Resources compiled into a static library register only when asked to. Outside any
// namespace: the macro declares the registration function where it stands.
static void registerResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(tarnwick);
        return true;
    }();
    (void)registered;
}

QIcon loadAppIcon() {
    registerResources();
    QIcon icon;
    for (int size : {16, 32, 48, 256}) {
        icon.addFile(QStringLiteral(":/icon/128/%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

void installAppIconLoader() {
    setDialogIconLoader([](int resourceId, QSize size) {
        return resourceId == IDR_MAINFRAME_ICON ? loadAppIcon().pixmap(size) : QPixmap();
    });
}
