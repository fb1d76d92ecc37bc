#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <fstream>

#include "panel_fixture.h"
#include "panels/options_dlg.h"
#include "platform/qt/dialog_builder.h"
#include "tests/support/loopback.h"

namespace {

constexpr const char* kPlainFile =
    "[TCP-PORT0]\nACT=0\nPORT=8080\nFORWARDHOST=127.0.0.1\nFORWARDPORT=80\n";

class OptionsTest : public PanelTest {
  protected:
    void writeFile(const std::string& text) { std::ofstream(iniPath, std::ios::binary) << text; }

    // Opens the options dialog from the panel's settings dialog and runs act inside it.
    bool withOptions(const std::function<void(COptionsDlg&)>& act) {
        panel->clickControl(IDC_SETTING_BUTTON);
        const bool seen =
            inModal<COptionsDlg>([&] { settingDlg->clickControl(IDC_OPTIONS_BUTTON); }, act);
        settingDlg->clickControl(IDCANCEL);
        return seen;
    }

    // OK, and Cancel should OK have been refused, so that no test hangs in the dialog.
    static void confirm(COptionsDlg& dialog) {
        dialog.clickControl(IDOK);
        if (dialog.isVisible()) {
            ADD_FAILURE() << "OK was refused";
            dialog.clickControl(IDCANCEL);
        }
    }

    static void type(COptionsDlg& dialog, int id, const std::string& text) {
        if (auto* combo = dialog.dlgItem<QComboBox>(id)) {
            combo->setCurrentText(QString::fromStdString(text));
        } else {
            dialog.SetDlgItemText(id, text);
        }
    }
};

TEST_F(OptionsTest, OkWithoutChangesLeavesTheFileByteForByte) {
    const std::string handWritten =
        "[TCP-PORT0]\r\nACT=0\r\nPORT=8080\r\nFORWARDHOST=192.0.2.10\r\nFORWARDPORT=80\r\n"
        "; set by hand\r\nLISTENHOST=[::1]\r\nFILTER=3\r\nALLOW= 127.0.0.1 , 10.0.0.0/8\r\n"
        "IDLETIMEOUT=90000\r\nBUFFERSIZE=064\r\nNAME=web\r\nLOG=1\r\nKEEPALIVE=yes\r\n"
        "DESTINATIONS= b:81 ,bad,[::1]:82\r\nBALANCE=roundrobin\r\nPROXYPROTOCOL=02\r\n"
        "\r\n[TCP-PORT1]\r\nPORT=1\r\n";
    for (const std::string& text : {std::string(kPlainFile), handWritten}) {
        writeFile(text);
        makePanel();
        const std::string before = fileText();
        EXPECT_TRUE(withOptions([](COptionsDlg& dialog) { confirm(dialog); }));
        EXPECT_EQ(fileText(), before);
        EXPECT_TRUE(boxes.shown.empty()) << boxes.texts().front();
    }
}

TEST_F(OptionsTest, OkWritesOnlyTheChangedKeysAndCancelNothing) {
    writeFile(kPlainFile);
    makePanel();
    EXPECT_TRUE(withOptions([](COptionsDlg& dialog) {
        type(dialog, IDC_NAME_EDIT, "web");
        dialog.dlgItem<QCheckBox>(IDC_HALF_CLOSE_CHECK)->setChecked(true);
        dialog.clickControl(IDCANCEL);
    }));
    EXPECT_EQ(fileText(), kPlainFile);

    EXPECT_TRUE(withOptions([](COptionsDlg& dialog) {
        type(dialog, IDC_NAME_EDIT, "web");
        dialog.dlgItem<QCheckBox>(IDC_HALF_CLOSE_CHECK)->setChecked(true);
        type(dialog, IDC_BUFFER_SIZE_EDIT, "64");
        dialog.dlgItem<QComboBox>(IDC_PROTOCOL_COMBO)->setCurrentIndex(1);
        type(dialog, IDC_DESTINATIONS_EDIT, " b:81, [::1]:82");
        dialog.dlgItem<QComboBox>(IDC_BALANCE_COMBO)->setCurrentIndex(1);
        dialog.dlgItem<QComboBox>(IDC_PROXY_PROTOCOL_COMBO)->setCurrentIndex(2);
        // Changed and changed back: not written.
        dialog.dlgItem<QCheckBox>(IDC_LOG_CHECK)->setChecked(true);
        dialog.dlgItem<QCheckBox>(IDC_LOG_CHECK)->setChecked(false);
        confirm(dialog);
    }));
    EXPECT_EQ(fileText(), std::string(kPlainFile) +
                              "NAME=web\nPROTOCOL=UDP\nHALFCLOSE=1\nBUFFERSIZE=64\n"
                              "DESTINATIONS=b:81,[::1]:82\nBALANCE=ROUNDROBIN\nPROXYPROTOCOL=2\n");
    EXPECT_EQ(panel->getName(), "web");
    EXPECT_EQ(panel->dlgItem<QGroupBox>(IDC_LISTEN_FRAME)->title(), "UDP:8080");
}

TEST_F(OptionsTest, AValueThatCannotBeUsedIsNamedSelectedAndNothingIsWritten) {
    struct Bad {
        int id;
        std::string typed;
        std::string message;
    };
    std::string eleven;
    for (int i = 1; i <= 11; ++i) {
        eleven += "10.0.0." + std::to_string(i) + (i < 11 ? "," : "");
    }
    const std::string longName(65, 'n');
    const std::vector<Bad> table{
        {IDC_NAME_EDIT, longName, "名前「" + longName + "」は無効な設定です (64文字まで)"},
        {IDC_LISTEN_HOST_COMBO, "myhost", "待受アドレス「myhost」は無効な設定です"},
        {IDC_ALLOW_EDIT, "10.0.0.1, 300.1.1.1", "許可リスト「300.1.1.1」は無効な設定です"},
        {IDC_ALLOW_EDIT, eleven, "許可リスト「" + eleven + "」は無効な設定です (10件まで)"},
        {IDC_DENY_EDIT, "fe80::/129", "拒否リスト「fe80::/129」は無効な設定です"},
        {IDC_CONNECT_TIMEOUT_EDIT, "86401", "接続タイムアウト「86401」は無効な設定です (0〜86400)"},
        {IDC_IDLE_TIMEOUT_EDIT, "-1", "無通信で切断「-1」は無効な設定です (0〜86400)"},
        {IDC_BUFFER_SIZE_EDIT, "0", "バッファサイズ「0」は無効な設定です (1〜65536)"},
        {IDC_BUFFER_SIZE_EDIT, "12k", "バッファサイズ「12k」は無効な設定です (1〜65536)"},
        {IDC_DESTINATIONS_EDIT, "a:1, b, [::1]80",
         "ほかの転送先「b, [::1]80」は無効な設定です (ホスト:ポート、IPv6は [アドレス]:ポート)"},
        {IDC_DESTINATIONS_EDIT, "a:1,a:2,a:3,a:4,a:5,a:6,a:7,a:8",
         "ほかの転送先「a:1,a:2,a:3,a:4,a:5,a:6,a:7,a:8」は無効な設定です "
         "(転送先ホストと合わせて8件まで)"},
    };
    writeFile(kPlainFile);
    makePanel();
    EXPECT_TRUE(withOptions([&](COptionsDlg& dialog) {
        dialog.dlgItem<QComboBox>(IDC_FILTER_COMBO)->setCurrentIndex(CIpFilter::kAllowDenyLists);
        EXPECT_TRUE(dialog.GetDlgItem(IDC_ALLOW_EDIT)->isEnabled());
        for (const Bad& bad : table) {
            SCOPED_TRACE(bad.typed);
            const std::string before = dialog.GetDlgItemText(bad.id);
            type(dialog, bad.id, bad.typed);
            boxes.shown.clear();
            dialog.clickControl(IDOK);
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_EQ(boxes.shown[0].text, bad.message);
            EXPECT_EQ(boxes.shown[0].type, MB_OK | MB_ICONWARNING);
            EXPECT_TRUE(dialog.isVisible());
            EXPECT_EQ(dialog.focusWidget(), dialog.GetDlgItem(bad.id));
            type(dialog, bad.id, before);
        }
        dialog.dlgItem<QComboBox>(IDC_FILTER_COMBO)->setCurrentIndex(0);
        EXPECT_FALSE(dialog.GetDlgItem(IDC_ALLOW_EDIT)->isEnabled());
        dialog.clickControl(IDCANCEL);
    }));
    EXPECT_EQ(fileText(), kPlainFile);
}

TEST_F(OptionsTest, OpensOnlyWhileThePanelIsOff) {
    saveFile(0, loopback::freePort(), "127.0.0.1", 80);
    makePanel();
    panel->clickControl(IDC_SETTING_BUTTON);
    panel->clickControl(IDC_SWITCH);
    ASSERT_TRUE(repeaterListening());
    boxes.shown.clear();
    settingDlg->clickControl(IDC_OPTIONS_BUTTON);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>{"PORTを使用中です。OFF状態で設定して下さい"});
    settingDlg->clickControl(IDCANCEL);
}

// The name follows the port in the frame's title, cut with "…" when it does not fit, and is
// in the destination's tooltip; without one the panel is as it always was.
// A name has a line of its own under the controls, whole up to 12 characters at the
// default font, cut with "…" and whole in the tooltip beyond; without one the panel keeps
// the template's size and the frame its port.
TEST_F(OptionsTest, ANameShowsOnItsOwnLineAndIsCutBeyondTwelveCharacters) {
    struct Case {
        std::string name;
        std::string shown;
    };
    const std::string forty = "backup-store-for-the-accounting-team-042";
    for (const Case& c : {Case{"", ""}, Case{"w", "w"},
                          Case{"社内データベース検証環境", "社内データベース検証環境"},
                          Case{"123456789012", "123456789012"}, Case{forty, "backup-stor…"}}) {
        SCOPED_TRACE(c.name);
        writeFile(std::string(kPlainFile) + (c.name.empty() ? "" : "NAME=" + c.name + "\n"));
        makePanel();
        const QSize templateSize = templateClientSize(dialogTemplate(IDD_PORT_DIALOG));
        EXPECT_EQ(panel->dlgItem<QGroupBox>(IDC_LISTEN_FRAME)->title().toStdString(), "TCP:8080");
        const QLabel* line = nullptr;
        for (const QLabel* label : panel->findChildren<QLabel*>()) {
            if (label->isVisibleTo(panel.get()) &&
                label->text() == QString::fromStdString(c.shown)) {
                line = label;
            }
        }
        if (c.name.empty()) {
            EXPECT_EQ(panel->size(), templateSize);
            EXPECT_EQ(panel->panelHeight(), templateSize.height());
            continue;
        }
        ASSERT_NE(line, nullptr);
        EXPECT_GT(panel->panelHeight(), templateSize.height());
        EXPECT_GE(line->geometry().top(), templateSize.height());
        EXPECT_LE(line->geometry().bottom(), panel->panelHeight());
        EXPECT_LE(line->fontMetrics().horizontalAdvance(line->text()), line->width());
        EXPECT_EQ(line->toolTip().toStdString(), c.shown == c.name ? "" : c.name);
        EXPECT_EQ(panel->dlgItem<QLabel>(IDC_FORWARD_HOST_TEXT)->toolTip().toStdString(),
                  c.name + "\n127.0.0.1");
    }
}

}  // namespace
