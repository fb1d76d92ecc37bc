#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "panels/port_dlg.h"
#include "panels/setting_dlg.h"
#include "platform/qt/message_box.h"
#include "platform/socket_loop_thread.h"
#include "resources/dialog_templates.h"
#include "settings/port_settings.h"
#include "tests/support/message_recorder.h"
#include "tests/support/qt_test_session.h"

// A host window standing in for the main window, the shared settings dialog, a settings
// file in a fresh directory and one panel.
class PanelTest : public ::testing::Test {
  protected:
    PanelTest() {
        host->resize(500, 300);
        host->show();
        settingDlg->Create(host.get());
        settingDlg->setMainWindow(host.get());
        iniPath = QDir(scratch.path()).filePath("TarnwickPico.ini").toStdString();
    }

    ~PanelTest() override {
        panel.reset();
        settingDlg.reset();
        host.reset();
    }

    void saveFile(int act, int port, const std::string& forwardHost, int forwardPort) {
        savePortSettings(iniPath, 0, {act, port, forwardHost, forwardPort, 128});
    }

    PortSettings fileSettings() const { return loadPortSettings(iniPath, 0); }
    bool fileExists() const { return QFile::exists(QString::fromStdString(iniPath)); }
    std::string fileText() const {
        QFile file(QString::fromStdString(iniPath));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }
    void removeFile() const { QFile::remove(QString::fromStdString(iniPath)); }

    // Without arguments the panel gets the fixture's socket thread, if any.
    template <class Panel = CPortDlg, class... Arguments>
    Panel& makePanel(Arguments&&... arguments) {
        std::unique_ptr<Panel> made;
        if constexpr (sizeof...(Arguments) == 0) {
            made = std::make_unique<Panel>(nullptr, socketThread.get());
        } else {
            made = std::make_unique<Panel>(std::forward<Arguments>(arguments)...);
        }
        Panel& result = *made;
        panel = std::move(made);
        panel->Create(host.get());
        panel->setIndex(0);
        panel->setSettingsPath(iniPath);
        panel->setSettingDlg(settingDlg.get());
        panel->initPanel();
        panel->move(5, 20);
        panel->show();
        return result;
    }

    // The repeater's state, read where it lives.
    bool repeaterListening() const {
        bool listening = false;
        runOnSocketLoop(socketThread.get(),
                        [&] { listening = panel->getRepeater().isListening(); });
        return listening;
    }
    unsigned int repeaterPort() const {
        unsigned int port = 0;
        runOnSocketLoop(socketThread.get(), [&] { port = panel->getRepeater().listenPort(); });
        return port;
    }

    // Runs open, which brings up a modal Dialog; inside its loop runs act, which closes it.
    // False when no such dialog came up within 5 s.
    template <class Dialog>
    bool inModal(const std::function<void()>& open, const std::function<void(Dialog&)>& act) {
        bool seen = false;
        QTimer poll;
        QElapsedTimer clock;
        clock.start();
        QObject::connect(&poll, &QTimer::timeout, [&] {
            Dialog* dialog = nullptr;
            for (QWidget* window : QApplication::topLevelWidgets()) {
                if (auto* found = dynamic_cast<Dialog*>(window); found && found->isVisible()) {
                    dialog = found;
                }
            }
            if (dialog == nullptr) {
                if (clock.elapsed() > 5000) {
                    poll.stop();
                }
                return;
            }
            poll.stop();
            seen = true;
            act(*dialog);
        });
        poll.start(5);
        open();
        poll.stop();
        return seen;
    }

    std::string panelText(int id) const { return panel->GetDlgItemText(id); }
    bool switchPressed() const { return panel->dlgItem<QAbstractButton>(IDC_SWITCH)->isChecked(); }
    QLineEdit* settingEdit(int id) const { return settingDlg->dlgItem<QLineEdit>(id); }

    QTemporaryDir scratch;
    std::string iniPath;
    MessageRecorder boxes;
    std::unique_ptr<QWidget> host = std::make_unique<QWidget>();
    std::unique_ptr<CSettingDlg> settingDlg = std::make_unique<CSettingDlg>();
    std::unique_ptr<SocketLoopThread> socketThread;
    std::unique_ptr<CPortDlg> panel;
};

// The same behaviour whether the repeater runs on the UI thread's loop or, as in the
// program, on a socket thread of its own.
class PanelOnEitherThreadTest : public PanelTest, public ::testing::WithParamInterface<bool> {
  protected:
    PanelOnEitherThreadTest() {
        if (GetParam()) {
            socketThread = std::make_unique<SocketLoopThread>();
        }
    }
};
