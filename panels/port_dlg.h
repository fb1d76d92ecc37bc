#pragma once

#include <QColor>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "panels/queued_count_listener.h"
#include "panels/setting_dlg_listener.h"
#include "platform/qt/dialog.h"
#include "platform/qt/display_throttle.h"
#include "relay/port_repeater.h"
#include "settings/forward_config_store.h"
#include "settings/port_settings.h"

class CSettingDlg;
class QTimer;
class SocketLoopThread;

// The panel of one listening TCP or UDP port: its ON/OFF switch, connection (or session)
// count and destination, the buttons that open the forward-settings and connection-status
// dialogs, and the port's settings in the settings file.
//
// Ownership: owns its repeater, of the kind its protocol asks for; the settings dialog and
// the socket thread belong to the main window. A child window of the main window.
// Thread: UI thread. Given a socket thread, the repeater lives on it: made, driven, read and
// destroyed there through calls that wait, and its count comes back queued. Without one, the
// repeater runs on the UI thread's own socket loop and reports its count directly.
// What others show of the panel (the notification area's menu and tooltip) follows its
// signals: the count as it is shown, the switch, and the forward's label.
class CPortDlg : public CDialog, public CSettingDlgListener, public RepeaterListener {
    Q_OBJECT

  public:
    explicit CPortDlg(QWidget* parent = nullptr, SocketLoopThread* socketThread = nullptr);
    ~CPortDlg() override;

    void notifySettingOk() override;
    void notifyOptions() override;
    void notifyConnectionCount(int count) override;

    void setIndex(int newIndex) { index = newIndex; }
    void setSettingsPath(const std::string& path) { settingsPath = path; }
    void setSettingDlg(CSettingDlg* dialog) { settingDlg = dialog; }

    // Loads the section, shows it and applies the saved switch state. Given refusal, a
    // refused start says why there instead of in a box.
    void initPanel(std::string* refusal = nullptr);
    // At program end: writes the settings, then stops the port.
    // Connections still closing get until graceEnds to deliver what they hold.
    void saveAndStop(std::chrono::steady_clock::time_point graceEnds =
                         std::chrono::steady_clock::now() + std::chrono::seconds(1));
    void loadSettings();
    // Writes the keys the user changed here since the last save (all at the first save and
    // at the end), so that a switch never undoes an edit of the file made meanwhile.
    void saveSettings();

    int getSwitchState() const { return switchState; }
    int getListenPort() const { return listenPort; }
    int getForwardPort() const { return forwardPort; }
    const std::string& getForwardHost() const { return forwardHost; }
    int getConnectionCount() const { return static_cast<int>(connectionCount); }
    // Only for a panel without a socket thread: otherwise it belongs to that thread.
    PortRepeater& getRepeater() { return *repeater; }
    // What the repeater was last started with.
    const ForwardConfig& getForwardConfig() const { return config; }
    const std::string& getName() const { return name; }
    bool isUdp() const { return udp; }
    // "TCP:8080" (or "UDP:5353"), or "TCP:8080  web" with a name.
    std::string forwardTitle() const;

    // The switch moved from the command line: the switch's own checks, stops and writes,
    // but a refusal's text goes into refusal instead of a box. True when the forward ends
    // up as asked.
    bool switchFromCommand(bool on, std::string& refusal);
    // Reads the section again and follows it while running: unchanged stays untouched, new
    // settings on the same socket go to new connections, another port opens first and the
    // old one's connections drain; ACT=0 stops, ACT=1 starts. False, with the reason, when
    // what the file asks could not be done; the forward then runs as it did.
    bool reloadSection(std::string& problem);
    // Stops the port as the switch OFF does, without writing its section, which is gone.
    void stopForRemoval();
    // The options dialog is open over this panel.
    bool editingOptions() const { return editingOptions_; }
    // What the forward relays now: connections (also those draining after a reload) and
    // bytes since it was switched ON.
    struct Figures {
        int connections = 0;
        std::uint64_t bytesUp = 0;
        std::uint64_t bytesDown = 0;
    };
    Figures figures();

    static inline const QColor kBackgroundColor{230, 230, 220};
    static inline const QColor kValueColor{255, 255, 180};
    static inline const QColor kConnectedColor{180, 255, 180};

  Q_SIGNALS:
    // The count shown changed; at most as often as the panel shows it.
    void countChanged(int count);
    // A switch ended, ON or OFF, whether it went as asked or was refused.
    void switchChanged(bool on);
    // The listen port, destination or protocol changed.
    void forwardChanged();

  protected:
    void DoDataExchange(CDataExchange& dx) override;
    void OnCommand(int id) override;
    // A panel is part of its parent: Enter and Escape do not end it.
    void OnOK() override {}
    void OnCancel() override {}
    std::optional<QColor> OnCtlColor(int id, CtlColor kind) override;

  private:
    void onSwitch();
    // A refusal: a box, or the command's text while the command line moves the switch.
    void refuse(const std::string& text, unsigned int type);
    // Takes what the section says into the panel's values and shows them.
    void takeSection(const ForwardConfig& section);
    // Moves to a started repeater for another socket; the old one drains.
    bool replaceRepeater(const ForwardConfig& next, std::string& problem);
    void stopDraining(std::chrono::steady_clock::time_point graceEnds);
    void checkDraining();
    // False when the port was to be opened and could not listen.
    bool applySwitch();
    void takeCount(int count);
    void showConnectionCount();
    void onSetting();
    void onStatus();
    void showListenPort();
    // The destination's tooltip, which carries the name.
    void showName();
    PortSettings currentSettings() const;
    // Runs the work where the repeater lives and returns when it has run.
    void onRepeaterThread(const std::function<void()>& work);
    void takeSettings(const PortSettings& settings);

    std::string countText;
    std::string forwardPortText;
    std::string forwardHost;
    int switchState = 0;
    QColor backgroundBrush = kBackgroundColor;
    QColor valueBrush = kValueColor;
    QColor connectedBrush = kConnectedColor;
    int index = 0;
    std::string settingsPath;
    CSettingDlg* settingDlg = nullptr;
    unsigned int connectionCount = 0;
    // The count last announced through countChanged.
    int announcedCount = 0;
    int listenPort = 0;
    int forwardPort = 0;
    int bufferSize = 128;
    std::string name;
    // PROTOCOL=UDP: the port relays datagrams.
    bool udp = false;
    // Made afresh from the section at every start; the repeater takes a copy of it.
    ForwardConfig config;
    SocketLoopThread* socketThread = nullptr;
    // Made anew on its thread when a start asks for the other protocol.
    std::unique_ptr<PortRepeater> repeater;
    // Why the last start failed, as the socket layer said it.
    int startError = 0;
    // The section's keys changed here and not yet written (savePortSettings' bits).
    unsigned int unsavedKeys = kAllPortKeys;
    // While the command line moves the switch: where its refusal goes instead of a box.
    std::string* commandRefusal = nullptr;
    bool editingOptions_ = false;
    bool statusOpen_ = false;
    // Repeaters left by a reload that moved the forward to another socket: they take no new
    // connection and go once their last one has ended (checked once a second).
    std::vector<std::unique_ptr<PortRepeater>> draining_;
    int drainingCount_ = 0;
    // Bytes of drained repeaters already gone, since the switch went ON.
    std::uint64_t drainedUp_ = 0;
    std::uint64_t drainedDown_ = 0;
    std::unique_ptr<QTimer> drainCheck_;
    QueuedCountListener queuedCount;
    // The count is shown at most 20 times a second, through one throttle: this one for a
    // repeater on the UI thread, the queued listener's hold for one on the socket thread.
    // connectionCount is always current as far as this thread has heard.
    DisplayThrottle countDisplay;
};
