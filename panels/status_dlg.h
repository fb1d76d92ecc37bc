#pragma once

#include "platform/qt/dialog.h"
#include "platform/qt/list_ctrl.h"

class CTcpRepeater;

// The connection-status dialog: a snapshot of one repeater's connection pairs, one row per
// pair in slot order, filled once when the dialog opens.
// Ownership: the repeater is not owned and not used after OnInitDialog. Modal, UI thread.
class CStatusDlg : public CDialog {
  public:
    explicit CStatusDlg(QWidget* parent = nullptr);
    ~CStatusDlg() override;

    CListCtrl* list = nullptr;
    CTcpRepeater* repeater = nullptr;

  protected:
    void DoDataExchange(CDataExchange& dx) override;
    bool OnInitDialog() override;
};
