#include "panels/options_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QtGlobal>
#include <array>
#include <string_view>

#include "address/address_text.h"
#include "address/filter_rule.h"
#include "config/comma_list.h"
#include "config/destination_list.h"
#include "platform/qt/message_box.h"
#include "platform/qt/ui_text.h"
#include "platform/socket_address.h"
#include "resources/dialog_templates.h"

namespace {

constexpr const char* kEveryAddress = QT_TRANSLATE_NOOP("OptionsDialog", "すべてのアドレス");

constexpr std::array<const char*, 4> kFilterChoices{
    QT_TRANSLATE_NOOP("OptionsDialog", "全員"),
    QT_TRANSLATE_NOOP("OptionsDialog", "このPCのみ (127.0.0.1, ::1)"),
    QT_TRANSLATE_NOOP("OptionsDialog", "ローカルネットワークのみ"),
    QT_TRANSLATE_NOOP("OptionsDialog", "許可リストと拒否リストで決める"),
};

constexpr std::array<const char*, 2> kBalanceChoices{
    QT_TRANSLATE_NOOP("OptionsDialog", "先頭から順に試す"),
    QT_TRANSLATE_NOOP("OptionsDialog", "接続ごとに順番に振り分ける"),
};

constexpr std::array<const char*, 3> kProxyChoices{
    QT_TRANSLATE_NOOP("OptionsDialog", "使わない"),
    QT_TRANSLATE_NOOP("OptionsDialog", "バージョン1 (テキスト)"),
    QT_TRANSLATE_NOOP("OptionsDialog", "バージョン2 (バイナリ)"),
};

struct Tip {
    int id;
    const char* text;
};

constexpr std::array<Tip, 15> kTips{{
    {IDC_NAME_EDIT,
     QT_TRANSLATE_NOOP("OptionsDialog",
                       "この転送の名前です。パネルと接続状況の見出しに表示されます (64文字まで)")},
    {IDC_PROTOCOL_COMBO,
     QT_TRANSLATE_NOOP("OptionsDialog",
                       "TCPは接続を、UDPはデータグラムを送信元ごとに中継します。UDPの中継は無通信で"
                       "切断の秒数 (0なら60秒) で終わります")},
    {IDC_LISTEN_HOST_COMBO, QT_TRANSLATE_NOOP("OptionsDialog",
                                              "接続を待ち受けるこのPCのアドレスです。「すべてのアド"
                                              "レス」ならどのアドレスでも受け付けます")},
    {IDC_FILTER_COMBO,
     QT_TRANSLATE_NOOP("OptionsDialog",
                       "接続してよい相手を選びます。ほかの相手の接続はすぐに閉じられます")},
    {IDC_ALLOW_EDIT, QT_TRANSLATE_NOOP("OptionsDialog",
                                       "接続を許可するアドレスをカンマ区切りで書きます (例: "
                                       "192.168.1.0/24, 10.0.0.5, fd00::/8)。10件まで")},
    {IDC_DENY_EDIT,
     QT_TRANSLATE_NOOP(
         "OptionsDialog",
         "拒否するアドレスをカンマ区切りで書きます。許可リストに当てはまっても拒否します")},
    {IDC_CONNECT_TIMEOUT_EDIT,
     QT_TRANSLATE_NOOP("OptionsDialog",
                       "転送先への接続を待つ秒数です。0ならシステムに任せます (86400まで)")},
    {IDC_IDLE_TIMEOUT_EDIT, QT_TRANSLATE_NOOP("OptionsDialog",
                                              "どちらの向きにも通信がないまま、この秒数が過ぎた接続"
                                              "を切断します。0なら切断しません (86400まで)")},
    {IDC_BUFFER_SIZE_EDIT,
     QT_TRANSLATE_NOOP("OptionsDialog", "中継バッファ1つの大きさです (1〜65536 KiB)")},
    {IDC_HALF_CLOSE_CHECK,
     QT_TRANSLATE_NOOP("OptionsDialog",
                       "片側が送信を終えたら、その終わりだけを相手に伝え、逆向きの通信は続けます")},
    {IDC_KEEP_ALIVE_CHECK,
     QT_TRANSLATE_NOOP("OptionsDialog",
                       "接続の両側でTCPキープアライブを使い、応答しなくなった相手を見つけます")},
    {IDC_LOG_CHECK,
     QT_TRANSLATE_NOOP("OptionsDialog",
                       "接続ごとの記録を設定ファイルと同じフォルダのTarnwickPico.logに書きます")},
    {IDC_DESTINATIONS_EDIT,
     QT_TRANSLATE_NOOP(
         "OptionsDialog",
         "転送先ホストの次に試す転送先を「ホスト:ポート」のカンマ区切りで書きます (例: "
         "192.168.1.20:80, [2001:db8::1]:80)。転送先ホストと合わせて8件まで")},
    {IDC_BALANCE_COMBO,
     QT_TRANSLATE_NOOP("OptionsDialog",
                       "接続できない転送先は飛ばして次を試します。振り分けると新しい接続ごとに次の"
                       "転送先から始めます。失敗した転送先は10秒間あと回しにします")},
    {IDC_PROXY_PROTOCOL_COMBO,
     QT_TRANSLATE_NOOP(
         "OptionsDialog",
         "転送先に接続元のアドレスとポートをPROXYプロトコルのヘッダーで伝えます (TCPのみ)")},
}};

// As strict as the filter: what the dialog takes, the filter matches (an IPv4-mapped IPv6 rule
// as the IPv4 rule it maps).
bool isRule(const std::string& rule) {
    return isFilterRule(rule);
}

bool usableName(const std::string& name) {
    const QString text = QString::fromStdString(name);
    if (text.toUcs4().size() > ForwardConfig::kMaxNameLength) {
        return false;
    }
    return std::none_of(text.begin(), text.end(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}

std::string withoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

}  // namespace

COptionsDlg::COptionsDlg(const ForwardConfig& loaded, QWidget* parent)
    : CDialog(dialogTemplate(IDD_OPTIONS_DIALOG), parent), config_(loaded) {}

COptionsDlg::~COptionsDlg() = default;

bool COptionsDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    auto* listen = dlgItem<QComboBox>(IDC_LISTEN_HOST_COMBO);
    listen->addItems({uiText("OptionsDialog", kEveryAddress), "127.0.0.1", "::1"});
    dlgItem<QComboBox>(IDC_PROTOCOL_COMBO)->addItems({"TCP", "UDP"});
    auto* filter = dlgItem<QComboBox>(IDC_FILTER_COMBO);
    for (const char* choice : kFilterChoices) {
        filter->addItem(uiText("OptionsDialog", choice));
    }
    for (const char* choice : kBalanceChoices) {
        dlgItem<QComboBox>(IDC_BALANCE_COMBO)->addItem(uiText("OptionsDialog", choice));
    }
    for (const char* choice : kProxyChoices) {
        dlgItem<QComboBox>(IDC_PROXY_PROTOCOL_COMBO)->addItem(uiText("OptionsDialog", choice));
    }
    for (const Tip& tip : kTips) {
        GetDlgItem(tip.id)->setToolTip(uiText("OptionsDialog", tip.text));
    }
    showValues();
    QObject::connect(filter, &QComboBox::currentIndexChanged, this, [this] { enableRuleEdits(); });
    return true;
}

std::string COptionsDlg::text(int id) const {
    if (auto* combo = dlgItem<QComboBox>(id)) {
        return combo->currentText().toStdString();
    }
    return GetDlgItemText(id);
}

void COptionsDlg::showValues() {
    SetDlgItemText(IDC_NAME_EDIT, config_.name);
    dlgItem<QComboBox>(IDC_PROTOCOL_COMBO)->setCurrentIndex(config_.udp ? 1 : 0);
    dlgItem<QComboBox>(IDC_LISTEN_HOST_COMBO)
        ->setCurrentText(config_.listenHost.empty() ? uiText("OptionsDialog", kEveryAddress)
                                                    : QString::fromStdString(config_.listenHost));
    const int mode = config_.filter.mode;
    dlgItem<QComboBox>(IDC_FILTER_COMBO)->setCurrentIndex(mode >= 0 && mode <= 3 ? mode : 0);
    SetDlgItemText(IDC_ALLOW_EDIT, joinedRules(config_.filter, true));
    SetDlgItemText(IDC_DENY_EDIT, joinedRules(config_.filter, false));
    SetDlgItemText(IDC_CONNECT_TIMEOUT_EDIT, std::to_string(config_.relay.connectTimeoutSeconds));
    SetDlgItemText(IDC_IDLE_TIMEOUT_EDIT, std::to_string(config_.relay.idleTimeoutSeconds));
    SetDlgItemText(IDC_BUFFER_SIZE_EDIT, std::to_string(config_.bufferSizeKb));
    dlgItem<QCheckBox>(IDC_HALF_CLOSE_CHECK)->setChecked(config_.relay.halfClose);
    dlgItem<QCheckBox>(IDC_KEEP_ALIVE_CHECK)->setChecked(config_.relay.keepAlive);
    dlgItem<QCheckBox>(IDC_LOG_CHECK)->setChecked(config_.log);
    SetDlgItemText(IDC_DESTINATIONS_EDIT, joinedDestinations(config_.moreDestinations));
    dlgItem<QComboBox>(IDC_BALANCE_COMBO)
        ->setCurrentIndex(config_.balance == Balance::RoundRobin ? 1 : 0);
    const int proxy = config_.proxyProtocol;
    dlgItem<QComboBox>(IDC_PROXY_PROTOCOL_COMBO)
        ->setCurrentIndex(proxy >= 0 && proxy <= 2 ? proxy : 0);
    for (int id : {IDC_NAME_EDIT, IDC_LISTEN_HOST_COMBO, IDC_ALLOW_EDIT, IDC_DENY_EDIT,
                   IDC_CONNECT_TIMEOUT_EDIT, IDC_IDLE_TIMEOUT_EDIT, IDC_BUFFER_SIZE_EDIT,
                   IDC_DESTINATIONS_EDIT}) {
        shownTexts_[id] = text(id);
    }
    enableRuleEdits();
}

void COptionsDlg::enableRuleEdits() {
    const bool lists =
        dlgItem<QComboBox>(IDC_FILTER_COMBO)->currentIndex() == CIpFilter::kAllowDenyLists;
    GetDlgItem(IDC_ALLOW_EDIT)->setEnabled(lists);
    GetDlgItem(IDC_DENY_EDIT)->setEnabled(lists);
}

void COptionsDlg::OnOK() {
    ForwardConfig read = config_;
    if (!readValues(read)) {
        return;
    }
    config_ = read;
    EndDialog(IDOK);
}

bool COptionsDlg::refuse(int id, const char* field, const std::string& value,
                         const std::string& why) {
    AfxMessageBox(uiText("OptionsDialog", "%1「%2」は無効な設定です%3")
                      .arg(uiText("OptionsDialog", field), QString::fromStdString(value),
                           QString::fromStdString(why))
                      .toStdString(),
                  MB_ICONWARNING);
    QWidget* widget = GetDlgItem(id);
    widget->setFocus();
    if (auto* edit = dynamic_cast<QLineEdit*>(widget)) {
        edit->selectAll();
    } else if (auto* combo = dynamic_cast<QComboBox*>(widget); combo && combo->lineEdit()) {
        combo->lineEdit()->selectAll();
    }
    return false;
}

bool COptionsDlg::readNumber(int id, const char* field, int low, int high, int& value) {
    if (unchanged(id) && value >= low && value <= high) {
        return true;
    }
    const std::string typed(trimmed(text(id)));
    const std::string range = uiText("OptionsDialog", " (%1〜%2)").arg(low).arg(high).toStdString();
    if (typed.empty() || typed.size() > 9 ||
        typed.find_first_not_of("0123456789") != std::string::npos) {
        return refuse(id, field, text(id), range);
    }
    const int number = std::stoi(typed);
    if (number < low || number > high) {
        return refuse(id, field, text(id), range);
    }
    value = number;
    return true;
}

bool COptionsDlg::readRules(int id, const char* field, std::string* list, int& count) {
    std::string rules[CIpFilter::kListSize];
    int found = 0;
    const std::string typed = text(id);
    for (const std::string_view view : commaListEntries(typed)) {
        const std::string entry(view);
        if (!isRule(entry)) {
            return refuse(id, field, entry);
        }
        if (found == CIpFilter::kListSize) {
            return refuse(id, field, typed, uiString("OptionsDialog", " (10件まで)"));
        }
        rules[found++] = entry;
    }
    if (!unchanged(id)) {
        std::copy(std::begin(rules), std::end(rules), list);
        count = found;
    }
    return true;
}

bool COptionsDlg::readDestinations(std::vector<Destination>& destinations) {
    if (unchanged(IDC_DESTINATIONS_EDIT)) {
        return true;
    }
    const char* field = QT_TRANSLATE_NOOP("OptionsDialog", "ほかの転送先");
    const std::string typed = text(IDC_DESTINATIONS_EDIT);
    const DestinationList list = parseDestinations(typed, kMostDestinations - 1);
    if (!list.malformed.empty()) {
        return refuse(IDC_DESTINATIONS_EDIT, field, namedEntries(list.malformed),
                      uiString("OptionsDialog", " (ホスト:ポート、IPv6は [アドレス]:ポート)"));
    }
    if (list.dropped > 0) {
        return refuse(IDC_DESTINATIONS_EDIT, field, typed,
                      uiString("OptionsDialog", " (転送先ホストと合わせて8件まで)"));
    }
    destinations = list.destinations;
    return true;
}

bool COptionsDlg::readValues(ForwardConfig& read) {
    // The file keeps no blanks around a value.
    const std::string name(trimmed(text(IDC_NAME_EDIT)));
    if (!usableName(name)) {
        return refuse(IDC_NAME_EDIT, QT_TRANSLATE_NOOP("OptionsDialog", "名前"), name,
                      uiString("OptionsDialog", " (64文字まで)"));
    }
    read.name = name;
    read.udp = dlgItem<QComboBox>(IDC_PROTOCOL_COMBO)->currentIndex() == 1;
    const std::string listen(trimmed(text(IDC_LISTEN_HOST_COMBO)));
    SocketAddress address;
    if (listen.empty() ||
        QString::fromStdString(listen) == uiText("OptionsDialog", kEveryAddress)) {
        read.listenHost.clear();
    } else if (!parseNumericAddress(listen, 0, address)) {
        return refuse(IDC_LISTEN_HOST_COMBO, QT_TRANSLATE_NOOP("OptionsDialog", "待受アドレス"),
                      listen);
    } else if (!unchanged(IDC_LISTEN_HOST_COMBO)) {
        read.listenHost = withoutBrackets(listen);
    }
    read.filter.mode = dlgItem<QComboBox>(IDC_FILTER_COMBO)->currentIndex();
    CIpFilter& filter = read.filter;
    if (!readRules(IDC_ALLOW_EDIT, QT_TRANSLATE_NOOP("OptionsDialog", "許可リスト"),
                   filter.allowList, filter.allowCount) ||
        !readRules(IDC_DENY_EDIT, QT_TRANSLATE_NOOP("OptionsDialog", "拒否リスト"), filter.denyList,
                   filter.denyCount) ||
        !readNumber(IDC_CONNECT_TIMEOUT_EDIT,
                    QT_TRANSLATE_NOOP("OptionsDialog", "接続タイムアウト"), 0,
                    ForwardConfig::kMaxTimeoutSeconds, read.relay.connectTimeoutSeconds) ||
        !readNumber(IDC_IDLE_TIMEOUT_EDIT, QT_TRANSLATE_NOOP("OptionsDialog", "無通信で切断"), 0,
                    ForwardConfig::kMaxTimeoutSeconds, read.relay.idleTimeoutSeconds) ||
        !readNumber(IDC_BUFFER_SIZE_EDIT, QT_TRANSLATE_NOOP("OptionsDialog", "バッファサイズ"), 1,
                    ForwardConfig::kMaxBufferSizeKb, read.bufferSizeKb) ||
        !readDestinations(read.moreDestinations)) {
        return false;
    }
    read.balance = dlgItem<QComboBox>(IDC_BALANCE_COMBO)->currentIndex() == 1 ? Balance::RoundRobin
                                                                              : Balance::Failover;
    read.proxyProtocol = dlgItem<QComboBox>(IDC_PROXY_PROTOCOL_COMBO)->currentIndex();
    read.relay.halfClose = dlgItem<QCheckBox>(IDC_HALF_CLOSE_CHECK)->isChecked();
    read.relay.keepAlive = dlgItem<QCheckBox>(IDC_KEEP_ALIVE_CHECK)->isChecked();
    read.log = dlgItem<QCheckBox>(IDC_LOG_CHECK)->isChecked();
    return true;
}
