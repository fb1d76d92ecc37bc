#pragma once

#include <QObject>
#include <memory>

class CTarnwickDlg;

// The one place that knows both the window and the icon: makes a tray controller for the
// window and wires them, the icon's requests to the window (queued, since a request may end
// the window, which owns the icon) and the window's summary and note to the icon.
// Fits CTarnwickDlg::setTrayMaker.
std::unique_ptr<QObject> makeTrayController(CTarnwickDlg& window);
