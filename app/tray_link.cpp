#include "app/tray_link.h"

#include "app/tarnwick_dlg.h"
#include "app/tray_controller.h"

std::unique_ptr<QObject> makeTrayController(CTarnwickDlg& window) {
    auto tray = std::make_unique<CTrayController>();
    CTrayController* icon = tray.get();
    CTarnwickDlg* shown = &window;
    QObject::connect(icon, &CTrayController::showRequested, shown, &CTarnwickDlg::showWindow,
                     Qt::QueuedConnection);
    QObject::connect(icon, &CTrayController::quitRequested, shown, &CTarnwickDlg::endProgram,
                     Qt::QueuedConnection);
    QObject::connect(icon, &CTrayController::switchRequested, shown, &CTarnwickDlg::switchPanel,
                     Qt::QueuedConnection);
    QObject::connect(icon, &CTrayController::toggleRequested, shown, &CTarnwickDlg::toggleFromTray,
                     Qt::QueuedConnection);
    QObject::connect(shown, &CTarnwickDlg::summaryChanged, icon, &CTrayController::setSummary);
    QObject::connect(shown, &CTarnwickDlg::hiddenNoteWanted, icon,
                     &CTrayController::showHiddenNote);
    return tray;
}
