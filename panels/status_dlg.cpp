#include "panels/status_dlg.h"

#include <array>
#include <string>

#include "relay/tcp_repeater.h"
#include "resources/dialog_templates.h"

namespace {

struct Column {
    const char* heading;
    int format;
    int width;
};

constexpr std::array<Column, 10> kColumns{{
    {"AcceptPeer", LVCFMT_LEFT, 80},
    {"Port", LVCFMT_RIGHT, 50},
    {"BindIp", LVCFMT_LEFT, 80},
    {"Port", LVCFMT_RIGHT, 50},
    {"UsedBuff", LVCFMT_RIGHT, 70},
    {"BindIp", LVCFMT_LEFT, 80},
    {"Port", LVCFMT_RIGHT, 50},
    {"ConnectPeer", LVCFMT_LEFT, 80},
    {"Port", LVCFMT_RIGHT, 50},
    {"UsedBuff", LVCFMT_RIGHT, 70},
}};

std::string decimal(long long value) {
    return std::to_string(static_cast<int>(value));
}

}  // namespace

CStatusDlg::CStatusDlg(QWidget* parent) : CDialog(dialogTemplate(IDD_STATUS_DIALOG), parent) {}

CStatusDlg::~CStatusDlg() = default;

void CStatusDlg::DoDataExchange(CDataExchange& dx) {
    CDialog::DoDataExchange(dx);
    DDX_Control(dx, IDC_CONNECTION_LIST, list);
}

bool CStatusDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    list->SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    for (int column = 0; column < static_cast<int>(kColumns.size()); ++column) {
        const Column& c = kColumns[static_cast<std::size_t>(column)];
        list->InsertColumn(column, c.heading, c.format, c.width);
    }
    if (repeater == nullptr) {
        return true;
    }
    int cursor = 0;
    int row = 0;
    while (CTcpSockPair* pair = repeater->getNextPair(cursor)) {
        const CTcpSockStream& accepted = *pair->acceptSocket;
        const CTcpSockStream& outgoing = *pair->connectSocket;
        list->InsertItem(row, accepted.getPeerAddress());
        list->SetItemText(row, 1, decimal(accepted.getPeerPort()));
        list->SetItemText(row, 2, accepted.getBindIp());
        list->SetItemText(row, 3, decimal(accepted.getBindPort()));
        list->SetItemText(row, 4, decimal(accepted.getMaxRemainCount()));
        list->SetItemText(row, 5, outgoing.getBindIp());
        list->SetItemText(row, 6, decimal(outgoing.getBindPort()));
        list->SetItemText(row, 7, outgoing.getPeerAddress());
        list->SetItemText(row, 8, decimal(outgoing.getPeerPort()));
        list->SetItemText(row, 9, decimal(outgoing.getMaxRemainCount()));
        ++row;
    }
    return true;
}
