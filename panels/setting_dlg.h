#pragma once

#include <string>

#include "panels/setting_dlg_listener.h"
#include "platform/qt/dialog.h"
#include "platform/qt/spin_button_ctrl.h"

// The forward-settings dialog: listen port, destination host and destination port of one
// port panel at a time.
//
// One instance for the whole program, created hidden by the main window and shared by all
// panels. Modeless: a panel attaches itself, fills the fields in and shows it; OK hands the
// values back through CSettingDlgListener, Cancel drops them, and both hide it again.
// It validates nothing. "詳細設定..." asks the listener to open the options dialog.
// Ownership: the listener and the centring window are not owned. Thread: UI thread.
class CSettingDlg : public CDialog {
  public:
    // What the dialog edits for a panel.
    struct Values {
        int listenPort = 0;
        std::string forwardHost;
        int forwardPort = 0;
    };

    explicit CSettingDlg(QWidget* parent = nullptr);
    ~CSettingDlg() override;

    // The window the dialog centres on; without one, its parent.
    void setMainWindow(QWidget* window) { mainWindow = window; }

    // Attaches the panel, fills its values in (the localhost box ticked and the host edit
    // disabled for this machine's names) and shows the dialog.
    void openFor(CSettingDlgListener* panel, const Values& values);
    // Open for some panel: every other panel's settings button is refused meanwhile.
    bool isAttached() const { return freeFlag == 0; }
    bool isAttachedTo(const CSettingDlgListener* panel) const {
        return isAttached() && listener == panel;
    }
    // The values as the dialog shows them: the host as typed, each port as its up-down
    // control holds it.
    Values readValues();
    // A panel that goes away takes its open dialog with it, as with Cancel.
    void detach(const CSettingDlgListener* panel);

  protected:
    void DoDataExchange(CDataExchange& dx) override;
    void OnCommand(int id) override;
    void OnOK() override;
    void OnCancel() override;

  private:
    void attachListener(CSettingDlgListener* newListener);
    void onLocalhost();

    CSpinButtonCtrl* forwardPortSpin = nullptr;
    CSpinButtonCtrl* listenPortSpin = nullptr;
    std::string hostText;
    int localhostFlag = 0;
    int freeFlag = 1;
    CSettingDlgListener* listener = nullptr;
    QWidget* mainWindow = nullptr;
};

// The host texts that mean this machine to the localhost box: "localhost" in any case and
// "127.0.0.1", exactly.
bool isLocalhostText(const std::string& host);
