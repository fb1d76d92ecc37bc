#include "panels/port_dlg.h"

#include <QGroupBox>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <algorithm>

#include "panels/options_dlg.h"
#include "panels/setting_dlg.h"
#include "panels/status_dlg.h"
#include "platform/async_socket.h"
#include "platform/qt/dialog_units.h"
#include "platform/qt/message_box.h"
#include "platform/qt/ui_text.h"
#include "platform/socket_loop_thread.h"
#include "resources/dialog_templates.h"

namespace {

// A person cannot follow a count that changes faster than this.
constexpr int kCountShowMs = 50;

std::string decimal(int value) {
    return std::to_string(value);
}

// Room for a group box's title: its width less the frame and the title's margins.
constexpr int kTitleMargin = 8;
// How often repeaters left draining by a reload are looked at.
constexpr int kDrainCheckMs = 1000;

std::string cannotOpenText(int port, int error) {
    return uiText("PortPanel", "PORT%1を開けません (err=%2)")
        .arg(QString::fromStdString(decimal(port)), QString::fromStdString(decimal(error)))
        .toStdString();
}

// How often the traffic looks at the repeater's totals.
constexpr auto kTrafficLook = std::chrono::seconds(1);

// The name's line under the template's controls, in dialog units, as wide as the frames.
constexpr int kNameLineX = 2;
constexpr int kNameLineWidth = 184;
constexpr int kNameLineHeight = 11;
constexpr int kNameLineBelow = 2;

// The name as the panel shows it: whole up to the shown length, else its first characters
// and "…" within that length.
QString shownName(const std::string& name) {
    const QString whole = QString::fromStdString(name);
    const QList<uint> characters = whole.toUcs4();
    if (characters.size() <= CPortDlg::kShownNameLength) {
        return whole;
    }
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(characters.constData()),
                             CPortDlg::kShownNameLength - 1) +
           QStringLiteral("…");
}

}  // namespace

CPortDlg::CPortDlg(QWidget* parent, SocketLoopThread* socketThread)
    : CDialog(dialogTemplate(IDD_PORT_DIALOG), parent),
      socketThread(socketThread),
      queuedCount(this, std::chrono::milliseconds(kCountShowMs),
                  [this](int count) {
                      // Held back on its way here already: shown at once.
                      takeCount(count);
                      showConnectionCount();
                  }),
      countDisplay(kCountShowMs, [this] { showConnectionCount(); }) {
    onRepeaterThread([this] { repeater = makeRepeater(config); });
    QObject::connect(&trafficTimer_, &QTimer::timeout, this, [this] { sampleTraffic(); });
}

CPortDlg::~CPortDlg() {
    // The repeater goes first and closes what is still open; nobody is told any more.
    onRepeaterThread([this] {
        repeater->setListener(nullptr);
        repeater.reset();
        draining_.clear();
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
    name = loadForwardName(settingsPath, index);
    udp = loadForwardIsUdp(settingsPath, index);
}

void CPortDlg::saveSettings() {
    // Only what changed here, so that a later write never undoes an edit of the file that
    // a reload took in (or that waits for the next start).
    savePortSettings(settingsPath, index, currentSettings(), unsavedKeys);
    unsavedKeys = 0;
}

std::string CPortDlg::forwardTitle() const {
    const std::string port = std::string(udp ? "UDP:" : "TCP:") + decimal(listenPort);
    return name.empty() ? port : port + "  " + name;
}

void CPortDlg::showListenPort() {
    auto* frame = dlgItem<QGroupBox>(IDC_LISTEN_FRAME);
    if (frame == nullptr) {
        return;
    }
    // A name has its own line; the frame keeps the port.
    const QString full = QString::fromStdString(
        name.empty() ? forwardTitle() : std::string(udp ? "UDP:" : "TCP:") + decimal(listenPort));
    const int room = frame->width() - kTitleMargin;
    const QString shown = frame->fontMetrics().elidedText(full, Qt::ElideRight, room);
    frame->setTitle(shown);
    frame->setToolTip(shown == full ? QString() : full);
}

int CPortDlg::panelHeight() const {
    const int base = templateHeight_ > 0 ? templateHeight_ : height();
    return name.empty() || !nameLine_ ? base : nameLine_->geometry().bottom() + 1 + kNameLineBelow;
}

void CPortDlg::showName() {
    if (templateHeight_ == 0) {
        templateHeight_ = height();
    }
    if (!name.empty() && !nameLine_) {
        nameLine_ = std::make_unique<QLabel>(this);
        const DialogBaseUnits units = dialogBaseUnits(font());
        const QRect line =
            dialogUnitsToPixels(units, kNameLineX, 0, kNameLineWidth, kNameLineHeight);
        nameLine_->setGeometry(line.x(), templateHeight_, line.width(), line.height());
        nameLine_->setAutoFillBackground(true);
        QPalette colours = nameLine_->palette();
        colours.setColor(QPalette::Window, valueBrush);
        nameLine_->setPalette(colours);
    }
    if (nameLine_) {
        const QString shown = shownName(name);
        nameLine_->setText(shown);
        nameLine_->setToolTip(shown == QString::fromStdString(name) ? QString()
                                                                    : QString::fromStdString(name));
        nameLine_->setVisible(!name.empty());
    }
    resize(width(), panelHeight());
    auto* host = dlgItem<QLabel>(IDC_FORWARD_HOST_TEXT);
    if (host == nullptr || name.empty()) {
        return;
    }
    host->setToolTip(QString::fromStdString(name + "\n" + forwardHost));
}

void CPortDlg::initPanel(std::string* refusal) {
    connectionCount = 0;
    // The first save writes every key, so that a new section holds the defaults.
    unsavedKeys = kAllPortKeys;
    loadSettings();
    countText = decimal(static_cast<int>(connectionCount));
    forwardPortText = decimal(forwardPort);
    showListenPort();
    UpdateData(false);
    showName();
    commandRefusal = refusal;
    onSwitch();
    commandRefusal = nullptr;
}

void CPortDlg::refuse(const std::string& text, unsigned int type) {
    refusalType = type;
    if (commandRefusal != nullptr) {
        *commandRefusal = text;
        return;
    }
    AfxMessageBox(text, type);
}

void CPortDlg::onSwitch() {
    UpdateData(true);
    unsavedKeys |= kActKeyBit;
    if (switchState == 1) {
        const char* refusal = nullptr;
        if (listenPort == 0) {
            refusal = QT_TRANSLATE_NOOP("PortPanel", "Listenポートが無効な設定です");
        } else if (forwardPort == 0) {
            refusal = QT_TRANSLATE_NOOP("PortPanel", "転送先ポート番号が無効な設定です");
        }
        if (refusal != nullptr) {
            refuse(uiString("PortPanel", refusal), MB_OK);
            switchState = 0;
            UpdateData(false);
            Q_EMIT switchChanged(false);
            return;
        }
        SetDlgItemText(IDC_SWITCH, "ON");
    } else {
        SetDlgItemText(IDC_SWITCH, "OFF");
    }
    if (!applySwitch()) {
        // A port that cannot listen never shows as ON; the file then records OFF.
        refuse(cannotOpenText(listenPort, startError), MB_ICONWARNING);
        switchState = 0;
        SetDlgItemText(IDC_SWITCH, "OFF");
        UpdateData(false);
    }
    // Switching off drops the count to 0 at once; the user sees that without waiting.
    countDisplay.flush();
    saveSettings();
    Q_EMIT switchChanged(switchState != 0);
}

bool CPortDlg::applySwitch() {
    if (switchState == 0) {
        const auto graceEnds = std::chrono::steady_clock::now() + PortRepeater::kStopGrace;
        onRepeaterThread([this, graceEnds] { repeater->stop(graceEnds); });
        stopDraining(graceEnds);
        if (socketThread != nullptr) {
            // Stopped means nothing is connected, whatever count is still on its way.
            CPortDlg::notifyConnectionCount(0);
        }
        if (trafficTimer_.isActive()) {
            // The last look takes what the closing connections brought.
            sampleTraffic();
            trafficTimer_.stop();
        }
        return true;
    }
    if (listenPort == 0 || forwardPort == 0 || forwardHost.empty()) {
        return true;
    }
    drainedTotals_ = {};
    // Read at every start, so an edited file counts from the next switch ON. What the panel
    // holds wins over the file for the values it shows, should a save have failed.
    config = loadForwardConfig(settingsPath, index);
    config.name = name;
    config.listenPort = listenPort;
    config.forwardHost = forwardHost;
    config.forwardPort = forwardPort;
    config.bufferSizeKb = bufferSize;
    bool started = false;
    RepeaterListener* listener =
        socketThread != nullptr ? static_cast<RepeaterListener*>(&queuedCount) : this;
    onRepeaterThread([&] {
        reconfigure(repeater, config);
        repeater->setListener(listener);
        started = repeater->start();
        startError = WSAGetLastError();
    });
    if (started) {
        startTraffic();
    }
    return started;
}

void CPortDlg::startTraffic() {
    // The repeater's totals begin at 0 with its start: that is the first look.
    traffic_.restart();
    traffic_.take({});
    trafficTimer_.start(kTrafficLook);
}

void CPortDlg::sampleTraffic() {
    traffic_.take(forwardTotals());
    Q_EMIT trafficSampled();
}

void CPortDlg::takeCount(int count) {
    connectionCount = static_cast<unsigned int>(count + drainingCount_);
    countText = decimal(static_cast<int>(connectionCount));
}

void CPortDlg::notifyConnectionCount(int count) {
    takeCount(count);
    countDisplay.changed();
}

void CPortDlg::showConnectionCount() {
    UpdateData(false);
    if (QWidget* countLabel = GetDlgItem(IDC_COUNT_TEXT)) {
        countLabel->update();  // its colour follows the count, not only its text
    }
    if (static_cast<int>(connectionCount) != announcedCount) {
        announcedCount = static_cast<int>(connectionCount);
        Q_EMIT countChanged(announcedCount);
    }
}

void CPortDlg::onSetting() {
    UpdateData(true);
    if (switchState != 0) {
        AfxMessageBox(uiString("PortPanel", "PORTを使用中です。OFF状態で設定して下さい"));
        return;
    }
    if (settingDlg->isAttached()) {
        AfxMessageBox(uiString("PortPanel", "現在PORTの設定中です"));
        return;
    }
    settingDlg->openFor(this, {listenPort, forwardHost, forwardPort});
}

void CPortDlg::notifySettingOk() {
    const CSettingDlg::Values values = settingDlg->readValues();
    unsavedKeys |= kPortKeyBit | kForwardHostKeyBit | kForwardPortKeyBit;
    listenPort = values.listenPort;
    showListenPort();
    forwardHost = values.forwardHost;
    forwardPort = values.forwardPort;
    forwardPortText = decimal(forwardPort);
    UpdateData(false);
    showName();
    saveSettings();
    Q_EMIT forwardChanged();
}

void CPortDlg::notifyOptions() {
    UpdateData(true);
    if (switchState != 0) {
        AfxMessageBox(uiString("PortPanel", "PORTを使用中です。OFF状態で設定して下さい"));
        return;
    }
    const ForwardConfig before = loadForwardConfig(settingsPath, index);
    COptionsDlg options(before, settingDlg);
    editingOptions_ = true;
    const int answer = options.DoModal();
    editingOptions_ = false;
    if (answer != IDOK) {
        return;
    }
    saveForwardOptions(settingsPath, index, before, options.result());
    name = options.result().name;
    udp = options.result().udp;
    bufferSize = options.result().bufferSizeKb;
    showListenPort();
    showName();
    Q_EMIT forwardChanged();
}

void CPortDlg::onStatus() {
    if (connectionCount > 0) {
        // Owned by the main window: centred over it, modal to it, no task-bar entry.
        CStatusDlg status(window());
        status.repeater = repeater.get();
        status.socketThread = socketThread;
        status.traffic = &traffic_;
        status.datagrams = udp;
        status.setForwardTitle(name.empty() ? std::string() : forwardTitle());
        // A repeater it shows is not freed while it is open, even when a reload left it draining.
        statusOpen_ = true;
        status.DoModal();
        statusOpen_ = false;
        return;
    }
    AfxMessageBox(uiString("PortPanel", "現在接続はありません."));
}

void CPortDlg::saveAndStop(std::chrono::steady_clock::time_point graceEnds) {
    // The end writes the whole section, so that what was ON opens again at the next start.
    unsavedKeys = kAllPortKeys;
    saveSettings();
    onRepeaterThread([this, graceEnds] { repeater->stop(graceEnds); });
    stopDraining(graceEnds);
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

bool CPortDlg::switchFromCommand(bool on, std::string& refusal) {
    const int wanted = on ? 1 : 0;
    if (switchState == wanted) {
        return true;
    }
    switchState = wanted;
    UpdateData(false);
    commandRefusal = &refusal;
    onSwitch();
    commandRefusal = nullptr;
    return switchState == wanted;
}

void CPortDlg::takeSection(const ForwardConfig& section) {
    const bool moved = listenPort != section.listenPort || forwardHost != section.forwardHost ||
                       forwardPort != section.forwardPort || udp != section.udp ||
                       name != section.name;
    listenPort = section.listenPort;
    forwardHost = section.forwardHost;
    forwardPort = section.forwardPort;
    bufferSize = section.bufferSizeKb;
    name = section.name;
    udp = section.udp;
    forwardPortText = decimal(forwardPort);
    showListenPort();
    UpdateData(false);
    showName();
    if (moved) {
        Q_EMIT forwardChanged();
    }
}

bool CPortDlg::reloadSection(std::string& problem) {
    UpdateData(true);
    const int act = loadPortSettings(settingsPath, index).act;
    const ForwardConfig next = loadForwardConfig(settingsPath, index);
    if (switchState == 0) {
        takeSection(next);
        return act == 0 || switchFromCommand(true, problem);
    }
    if (act == 0) {
        takeSection(next);
        return switchFromCommand(false, problem);
    }
    if (next == config) {
        return true;
    }
    if (sameListener(next, config)) {
        // The listening socket stays: nobody connecting meanwhile is refused.
        config = next;
        onRepeaterThread([this] { repeater->update(config); });
        takeSection(next);
        return true;
    }
    // Shown and saved as the file has it even when the new socket cannot open: the panel
    // runs on as it was, and no later write of the window undoes the edit.
    const bool replaced = replaceRepeater(next, problem);
    takeSection(next);
    return replaced;
}

bool CPortDlg::replaceRepeater(const ForwardConfig& next, std::string& problem) {
    if (next.listenPort == 0) {
        problem = uiString("PortPanel", "Listenポートが無効な設定です");
        refusalType = MB_OK;
        return false;
    }
    if (next.forwardPort == 0 || next.forwardHost.empty()) {
        problem = uiString("PortPanel", "転送先ポート番号が無効な設定です");
        refusalType = MB_OK;
        return false;
    }
    // The new socket opens before the old one closes; if it cannot, nothing changes.
    std::unique_ptr<PortRepeater> successor;
    bool started = false;
    RepeaterListener* listener =
        socketThread != nullptr ? static_cast<RepeaterListener*>(&queuedCount) : this;
    onRepeaterThread([&] {
        successor = makeRepeater(next);
        started = successor->start();
        startError = WSAGetLastError();
        if (!started) {
            successor.reset();
            return;
        }
        repeater->setListener(nullptr);
        repeater->drain();
        draining_.push_back(std::move(repeater));
        repeater = std::move(successor);
        repeater->setListener(listener);
    });
    if (!started) {
        problem = cannotOpenText(next.listenPort, startError);
        refusalType = MB_ICONWARNING;
        return false;
    }
    config = next;
    if (!drainCheck_) {
        drainCheck_ = std::make_unique<QTimer>();
        QObject::connect(drainCheck_.get(), &QTimer::timeout, this, [this] { checkDraining(); });
    }
    drainCheck_->start(kDrainCheckMs);
    checkDraining();
    return true;
}

void CPortDlg::checkDraining() {
    int left = 0;
    const bool keep = statusOpen_;
    onRepeaterThread([&] {
        std::erase_if(draining_, [&](const std::unique_ptr<PortRepeater>& old) {
            if (keep || !old->drained()) {
                return false;
            }
            // What it carried still counts for the forward since it was switched ON.
            addTotals(drainedTotals_, old->totals());
            return true;
        });
        for (const std::unique_ptr<PortRepeater>& old : draining_) {
            left += old->connectionCount();
        }
    });
    int active = 0;
    onRepeaterThread([&] { active = repeater->connectionCount(); });
    drainingCount_ = left;
    if (draining_.empty() && drainCheck_) {
        drainCheck_->stop();
    }
    takeCount(active);
    countDisplay.changed();
}

void CPortDlg::stopDraining(std::chrono::steady_clock::time_point graceEnds) {
    if (draining_.empty()) {
        return;
    }
    onRepeaterThread([this, graceEnds] {
        for (const std::unique_ptr<PortRepeater>& old : draining_) {
            old->stop(graceEnds);
        }
        if (!statusOpen_) {
            draining_.clear();
        }
    });
    drainingCount_ = 0;
}

void CPortDlg::stopForRemoval() {
    const auto graceEnds = std::chrono::steady_clock::now() + PortRepeater::kStopGrace;
    onRepeaterThread([this, graceEnds] { repeater->stop(graceEnds); });
    stopDraining(graceEnds);
    switchState = 0;
    unsavedKeys = 0;
    if (socketThread != nullptr) {
        CPortDlg::notifyConnectionCount(0);
    }
    countDisplay.flush();
}

void CPortDlg::addTotals(ForwardTotals& sum, const ForwardTotals& more) {
    sum.bytesUp += more.bytesUp;
    sum.bytesDown += more.bytesDown;
    sum.connectionsServed += more.connectionsServed;
    sum.mostAtOnce = std::max(sum.mostAtOnce, more.mostAtOnce);
}

ForwardTotals CPortDlg::forwardTotals() {
    ForwardTotals sum = drainedTotals_;
    onRepeaterThread([&] {
        addTotals(sum, repeater->totals());
        for (const std::unique_ptr<PortRepeater>& old : draining_) {
            addTotals(sum, old->totals());
        }
    });
    return sum;
}

CPortDlg::Figures CPortDlg::figures() {
    Figures figures;
    const ForwardTotals totals = forwardTotals();
    figures.bytesUp = totals.bytesUp;
    figures.bytesDown = totals.bytesDown;
    onRepeaterThread([&] {
        figures.connections = repeater->connectionCount();
        for (const std::unique_ptr<PortRepeater>& old : draining_) {
            figures.connections += old->connectionCount();
        }
    });
    return figures;
}
