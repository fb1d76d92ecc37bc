#include "panels/port_dlg.h"

#include <QWidget>
#include <algorithm>

#include "panels/setting_dlg.h"
#include "panels/status_dlg.h"
#include "platform/async_socket.h"
#include "platform/qt/message_box.h"
#include "platform/socket_loop_thread.h"
#include "resources/dialog_templates.h"

namespace {

// A person cannot follow a count that changes faster than this.
constexpr int kCountShowMs = 50;

std::string decimal(int value) {
    return std::to_string(value);
}

// The connection log lies beside the settings file.
std::string logPathBeside(const std::string& settingsPath) {
    std::size_t slash = settingsPath.rfind('/');
    std::string folder = slash == std::string::npos ? "" : settingsPath.substr(0, slash + 1);
    return folder + "TarnwickPico.log";
}

int copyRules(const std::vector<std::string>& rules, std::string* list) {
    const auto count = std::min<std::size_t>(rules.size(), CIpFilter::kListSize);
    std::copy_n(rules.begin(), count, list);
    return static_cast<int>(count);
}

CIpFilter filterFrom(const PortOptions& options) {
    CIpFilter filter;
    filter.mode = options.filterMode;
    filter.allowCount = copyRules(options.allow, filter.allowList);
    filter.denyCount = copyRules(options.deny, filter.denyList);
    return filter;
}

}  // namespace

CPortDlg::CPortDlg(QWidget* parent, SocketLoopThread* socketThread)
    : CDialog(dialogTemplate(IDD_PORT_DIALOG), parent),
      socketThread(socketThread),
      queuedCount(this, std::chrono::milliseconds(kCountShowMs),
                  [this](int count) { notifyConnectionCount(count); }),
      countDisplay(kCountShowMs, [this] { showConnectionCount(); }) {
    onRepeaterThread([this] { repeater = std::make_unique<CTcpRepeater>(); });
}

CPortDlg::~CPortDlg() {
    // The repeater goes first and closes what is still open; nobody is told any more.
    onRepeaterThread([this] {
        repeater->setListener(nullptr);
        repeater.reset();
    });
    if (settingDlg != nullptr) {
        settingDlg->detach(this);
    }
}

void CPortDlg::DoDataExchange(CDataExchange& dx) {
    CDialog::DoDataExchange(dx);
    DDX_Text(dx, IDC_COUNT_TEXT, countText);
    DDX_Text(dx, IDC_FORWARD_PORT_TEXT, forwardPortText);
    DDX_Text(dx, IDC_FORWARD_HOST_TEXT, forwardHost);
    DDX_Check(dx, IDC_SWITCH, switchState);
}

void CPortDlg::OnCommand(int id) {
    switch (id) {
        case IDC_SETTING_BUTTON:
            onSetting();
            break;
        case IDC_SWITCH:
            onSwitch();
            break;
        case IDC_STATUS_BUTTON:
            onStatus();
            break;
        default:
            CDialog::OnCommand(id);
            break;
    }
}

void CPortDlg::onRepeaterThread(const std::function<void()>& work) {
    runOnSocketLoop(socketThread, work);
}

PortSettings CPortDlg::currentSettings() const {
    return {switchState, listenPort, forwardHost, forwardPort, bufferSize};
}

void CPortDlg::takeSettings(const PortSettings& settings) {
    switchState = settings.act;
    listenPort = settings.port;
    forwardHost = settings.forwardHost;
    forwardPort = settings.forwardPort;
    bufferSize = settings.bufferSize;
}

void CPortDlg::loadSettings() {
    takeSettings(loadPortSettings(settingsPath, index));
}

void CPortDlg::saveSettings() {
    savePortSettings(settingsPath, index, currentSettings());
}

void CPortDlg::showListenPort() {
    SetDlgItemText(IDC_LISTEN_FRAME, "TCP:" + decimal(listenPort));
}

void CPortDlg::initPanel() {
    connectionCount = 0;
    loadSettings();
    countText = decimal(static_cast<int>(connectionCount));
    forwardPortText = decimal(forwardPort);
    showListenPort();
    UpdateData(false);
    onSwitch();
}

void CPortDlg::onSwitch() {
    UpdateData(true);
    if (switchState == 1) {
        const char* refusal = nullptr;
        if (listenPort == 0) {
            refusal = "Listenポートが無効な設定です";
        } else if (forwardPort == 0) {
            refusal = "転送先ポート番号が無効な設定です";
        }
        if (refusal != nullptr) {
            AfxMessageBox(refusal);
            switchState = 0;
            UpdateData(false);
            return;
        }
        SetDlgItemText(IDC_SWITCH, "ON");
    } else {
        SetDlgItemText(IDC_SWITCH, "OFF");
    }
    if (!applySwitch()) {
        // A port that cannot listen never shows as ON; the file then records OFF.
        AfxMessageBox(
            "PORT" + decimal(listenPort) + "を開けません (err=" + decimal(startError) + ")",
            MB_ICONWARNING);
        switchState = 0;
        SetDlgItemText(IDC_SWITCH, "OFF");
        UpdateData(false);
    }
    // Switching off drops the count to 0 at once; the user sees that without waiting.
    countDisplay.flush();
    saveSettings();
}

bool CPortDlg::applySwitch() {
    if (switchState == 0) {
        onRepeaterThread([this] { repeater->stop(); });
        if (socketThread != nullptr) {
            // Stopped means nothing is connected, whatever count is still on its way.
            CPortDlg::notifyConnectionCount(0);
        }
        return true;
    }
    if (listenPort == 0 || forwardPort == 0 || forwardHost.empty()) {
        return true;
    }
    // Read at every start, so an edited file counts from the next switch ON.
    options = loadPortOptions(settingsPath, index);
    const std::string logPath = options.log ? logPathBeside(settingsPath) : std::string();
    bool started = false;
    onRepeaterThread([&] {
        activeFilter = filterFrom(options);
        repeater->setListener(
            socketThread != nullptr ? static_cast<CTcpRepeaterListener*>(&queuedCount) : this);
        repeater->setBufferSize(bufferSize);
        if (options.listenHost.empty()) {
            repeater->setListenBind(0, "localhost");
        } else {
            repeater->setListenBind(1, options.listenHost);
        }
        repeater->setConnectBind(0, "localhost");
        repeater->setFilter(&activeFilter);
        repeater->setOptions(options.relay);
        repeater->setConnectionLog(logPath);
        started = repeater->start(listenPort, forwardHost, forwardPort);
        startError = WSAGetLastError();
    });
    return started;
}

void CPortDlg::notifyConnectionCount(int count) {
    connectionCount = static_cast<unsigned int>(count);
    countText = decimal(count);
    countDisplay.changed();
}

void CPortDlg::showConnectionCount() {
    UpdateData(false);
    if (QWidget* countLabel = GetDlgItem(IDC_COUNT_TEXT)) {
        countLabel->update();  // its colour follows the count, not only its text
    }
}

void CPortDlg::onSetting() {
    UpdateData(true);
    if (switchState != 0) {
        AfxMessageBox("PORTを使用中です。OFF状態で設定して下さい");
        return;
    }
    if (settingDlg->isAttached()) {
        AfxMessageBox("現在PORTの設定中です");
        return;
    }
    workingFilter = activeFilter;
    settingDlg->openFor(this, {listenPort, forwardHost, forwardPort}, &workingFilter);
}

void CPortDlg::notifySettingOk() {
    const CSettingDlg::Values values = settingDlg->readValues();
    listenPort = values.listenPort;
    showListenPort();
    forwardHost = values.forwardHost;
    forwardPort = values.forwardPort;
    forwardPortText = decimal(forwardPort);
    onRepeaterThread([this] { activeFilter = workingFilter; });
    UpdateData(false);
    saveSettings();
}

void CPortDlg::onStatus() {
    if (connectionCount > 0) {
        // Owned by the main window: centred over it, modal to it, no task-bar entry.
        CStatusDlg status(window());
        status.repeater = repeater.get();
        status.socketThread = socketThread;
        status.DoModal();
        return;
    }
    AfxMessageBox("現在接続はありません.");
}

void CPortDlg::saveAndStop(std::chrono::steady_clock::time_point graceEnds) {
    saveSettings();
    onRepeaterThread([this, graceEnds] { repeater->stop(graceEnds); });
}

std::optional<QColor> CPortDlg::OnCtlColor(int id, CtlColor kind) {
    switch (kind) {
        case CtlColor::Dialog:
        case CtlColor::Button:
            return backgroundBrush;
        case CtlColor::Static:
            if (id == IDC_LISTEN_FRAME || id == IDC_FORWARD_HOST_TEXT ||
                id == IDC_FORWARD_PORT_TEXT) {
                return valueBrush;
            }
            if (id == IDC_COUNT_TEXT) {
                return connectionCount > 0 ? connectedBrush : valueBrush;
            }
            return backgroundBrush;
        default:
            return std::nullopt;
    }
}
