#include "panels/setting_dlg.h"

#include <QWidget>
#include <algorithm>
#include <cctype>

#include "platform/qt/message_box.h"
#include "platform/qt/ui_text.h"
#include "resources/dialog_templates.h"

bool isLocalhostText(const std::string& host) {
    std::string upper = host;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper == "LOCALHOST" || upper == "127.0.0.1";
}

CSettingDlg::CSettingDlg(QWidget* parent) : CDialog(dialogTemplate(IDD_SETTING_DIALOG), parent) {}

CSettingDlg::~CSettingDlg() = default;

void CSettingDlg::attachListener(CSettingDlgListener* newListener) {
    freeFlag = 0;
    listener = newListener;
    CenterWindow(mainWindow);
}

void CSettingDlg::openFor(CSettingDlgListener* panel, const Values& values) {
    attachListener(panel);
    listenPortSpin->SetRange32(0, 65535);
    listenPortSpin->SetPos32(values.listenPort);
    hostText = values.forwardHost;
    forwardPortSpin->SetRange32(0, 65535);
    forwardPortSpin->SetPos32(values.forwardPort);
    const bool local = isLocalhostText(values.forwardHost);
    localhostFlag = local ? 1 : 0;
    GetDlgItem(IDC_HOST_EDIT)->setEnabled(!local);
    UpdateData(false);
    show();
}

CSettingDlg::Values CSettingDlg::readValues() {
    UpdateData(true);
    return {listenPortSpin->GetPos32(), hostText, forwardPortSpin->GetPos32()};
}

void CSettingDlg::detach(const CSettingDlgListener* panel) {
    if (isAttachedTo(panel)) {
        OnCancel();
    }
}

void CSettingDlg::DoDataExchange(CDataExchange& dx) {
    CDialog::DoDataExchange(dx);
    DDX_Control(dx, IDC_FORWARD_PORT_SPIN, forwardPortSpin);
    DDX_Control(dx, IDC_LISTEN_PORT_SPIN, listenPortSpin);
    DDX_Text(dx, IDC_HOST_EDIT, hostText);
    DDX_Check(dx, IDC_LOCALHOST_CHECK, localhostFlag);
}

void CSettingDlg::OnCommand(int id) {
    if (id == IDC_LOCALHOST_CHECK) {
        onLocalhost();
        return;
    }
    if (id == IDC_OPTIONS_BUTTON) {
        if (listener != nullptr) {
            listener->notifyOptions();
        }
        return;
    }
    CDialog::OnCommand(id);
}

void CSettingDlg::OnOK() {
    freeFlag = 1;
    if (listener != nullptr) {
        listener->notifySettingOk();
        listener = nullptr;
    }
    hide();
}

void CSettingDlg::OnCancel() {
    freeFlag = 1;
    listener = nullptr;
    hide();
}

void CSettingDlg::onLocalhost() {
    UpdateData(true);
    QWidget* hostEdit = GetDlgItem(IDC_HOST_EDIT);
    if (localhostFlag == 0) {
        hostEdit->setEnabled(true);
        return;
    }
    if (isLocalhostText(hostText)) {
        return;
    }
    if (AfxMessageBox(uiString("SettingDialog", "localhost(同じPC内)への転送に変更しますか？"),
                      MB_YESNO) == IDYES) {
        hostText = "127.0.0.1";
        hostEdit->setEnabled(false);
        UpdateData(false);
    }
}
