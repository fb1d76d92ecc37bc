#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "panels/port_dlg.h"
#include "panels/setting_dlg.h"
#include "platform/qt/message_box.h"
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

    template <class Panel = CPortDlg, class... Arguments>
    Panel& makePanel(Arguments&&... arguments) {
        auto made = std::make_unique<Panel>(std::forward<Arguments>(arguments)...);
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

    std::string panelText(int id) const { return panel->GetDlgItemText(id); }
    bool switchPressed() const { return panel->dlgItem<QAbstractButton>(IDC_SWITCH)->isChecked(); }
    QLineEdit* settingEdit(int id) const { return settingDlg->dlgItem<QLineEdit>(id); }

    QTemporaryDir scratch;
    std::string iniPath;
    MessageRecorder boxes;
    std::unique_ptr<QWidget> host = std::make_unique<QWidget>();
    std::unique_ptr<CSettingDlg> settingDlg = std::make_unique<CSettingDlg>();
    std::unique_ptr<CPortDlg> panel;
};
