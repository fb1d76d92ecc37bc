#pragma once

#include <string>

#include "panels/setting_dlg_listener.h"
#include "platform/qt/dialog.h"
#include "platform/qt/spin_button_ctrl.h"

class CIpFilter;

// The forward-settings dialog: listen port, destination host and destination port of one
// port panel at a time.
//
// One instance for the whole program, created hidden by the main window and shared by all
// panels. Modeless: a panel attaches itself, fills the fields in and shows it; OK hands the
// values back through CSettingDlgListener, Cancel drops them, and both hide it again.
// It validates nothing. Ownership: the listener, the filter and the centring window are not
// owned. Thread: UI thread.
class CSettingDlg : public CDialog {
  public:
    explicit CSettingDlg(QWidget* parent = nullptr);
    ~CSettingDlg() override;

    // Marks the dialog taken and centres it on the main window.
    void attachListener(CSettingDlgListener* newListener);
    // The window the dialog centres on; without one, its parent.
    void setMainWindow(QWidget* window) { mainWindow = window; }

    CSpinButtonCtrl* forwardPortSpin = nullptr;
    CSpinButtonCtrl* listenPortSpin = nullptr;
    std::string hostText;
    int localhostFlag = 0;
    int freeFlag = 1;
    CSettingDlgListener* listener = nullptr;
    CIpFilter* filter = nullptr;

  protected:
    void DoDataExchange(CDataExchange& dx) override;
    void OnCommand(int id) override;
    void OnOK() override;
    void OnCancel() override;

  private:
    void onLocalhost();

    QWidget* mainWindow = nullptr;
};

// The host texts that mean this machine to the localhost box: "localhost" in any case and
// "127.0.0.1", exactly.
bool isLocalhostText(const std::string& host);
