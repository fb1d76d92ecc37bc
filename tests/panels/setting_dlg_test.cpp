#include <QCheckBox>
#include <QKeyEvent>
#include <QToolButton>

#include "panel_fixture.h"
#include "platform/qt/spin_button_ctrl.h"

namespace {

class LocalhostTest : public PanelTest {
  protected:
    void open(const std::string& host) {
        saveFile(0, 8080, host, 80);
        makePanel();
        panel->clickControl(IDC_SETTING_BUTTON);
        ASSERT_TRUE(settingDlg->isVisible());
    }
    QCheckBox& box() const { return *settingDlg->dlgItem<QCheckBox>(IDC_LOCALHOST_CHECK); }
    QLineEdit& hostEdit() const { return *settingEdit(IDC_HOST_EDIT); }
};

struct Opening {
    const char* host;
    bool ticked;
};

class OpeningTest : public LocalhostTest, public ::testing::WithParamInterface<Opening> {};

TEST_P(OpeningTest, BoxAndEditFollowTheHostOnOpening) {
    open(GetParam().host);

    EXPECT_EQ(box().isChecked(), GetParam().ticked);
    EXPECT_EQ(hostEdit().isEnabled(), !GetParam().ticked);
    EXPECT_EQ(hostEdit().text().toStdString(), GetParam().host);
    EXPECT_TRUE(boxes.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Hosts, OpeningTest,
                         ::testing::Values(Opening{"LocalHost", true}, Opening{"localhost", true},
                                           Opening{"LOCALHOST", true}, Opening{"127.0.0.1", true},
                                           Opening{"127.0.0.01", false},
                                           Opening{"192.0.2.5", false}));

TEST_F(LocalhostTest, OtherFormsOfTheLoopbackAddressLeaveTheBoxClear) {
    open("192.0.2.5");
    // Typed into the dialog, since the settings file drops surrounding blanks.
    for (const char* host : {" 127.0.0.1", "localhost ", "127.0.0.01", "127.1"}) {
        hostEdit().setText(QString::fromUtf8(host));
        settingDlg->clickControl(IDOK);
        ASSERT_EQ(panel->getForwardHost(), host);
        panel->clickControl(IDC_SETTING_BUTTON);
        EXPECT_FALSE(box().isChecked()) << host;
        EXPECT_TRUE(hostEdit().isEnabled()) << host;
        EXPECT_EQ(hostEdit().text().toStdString(), host);
    }
}

TEST_F(LocalhostTest, TickingWithAnotherHostAsksAndYesSwitchesToLoopback) {
    open("192.0.2.5");
    boxes.answers = {IDYES};

    box().click();

    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "localhost(同じPC内)への転送に変更しますか？");
    EXPECT_EQ(boxes.shown[0].type, MB_YESNO | MB_ICONQUESTION);
    EXPECT_EQ(boxes.shown[0].caption, applicationTitle());
    EXPECT_EQ(hostEdit().text(), "127.0.0.1");
    EXPECT_FALSE(hostEdit().isEnabled());
    EXPECT_TRUE(box().isChecked());

    settingDlg->clickControl(IDOK);
    EXPECT_EQ(panel->getForwardHost(), "127.0.0.1");
}

TEST_F(LocalhostTest, NoLeavesTheBoxTickedAndTheHostAsTyped) {
    open("192.0.2.5");
    boxes.answers = {IDNO};

    box().click();

    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(box().isChecked());
    EXPECT_TRUE(hostEdit().isEnabled());
    EXPECT_EQ(hostEdit().text(), "192.0.2.5");

    settingDlg->clickControl(IDOK);
    EXPECT_EQ(panel->getForwardHost(), "192.0.2.5");
    EXPECT_EQ(panelText(IDC_FORWARD_HOST_TEXT), "192.0.2.5");
    EXPECT_EQ(fileSettings().forwardHost, "192.0.2.5");
}

TEST_F(LocalhostTest, ClearingEnablesTheEditAndTickingAgainAsksNothing) {
    open("127.0.0.1");
    ASSERT_FALSE(hostEdit().isEnabled());

    box().click();
    EXPECT_FALSE(box().isChecked());
    EXPECT_TRUE(hostEdit().isEnabled());
    EXPECT_EQ(hostEdit().text(), "127.0.0.1");

    box().click();
    EXPECT_TRUE(box().isChecked());
    EXPECT_TRUE(hostEdit().isEnabled());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PanelTest, ArrowsStepWithoutWrappingAndWritePlainDecimal) {
    saveFile(0, 65534, "192.0.2.5", 1);
    makePanel();
    panel->clickControl(IDC_SETTING_BUTTON);
    CSpinButtonCtrl& listen = *settingDlg->dlgItem<CSpinButtonCtrl>(IDC_LISTEN_PORT_SPIN);
    CSpinButtonCtrl& forward = *settingDlg->dlgItem<CSpinButtonCtrl>(IDC_FORWARD_PORT_SPIN);

    for (int i = 0; i < 3; ++i) {
        listen.upButton()->click();
    }
    EXPECT_EQ(settingEdit(IDC_LISTEN_PORT_EDIT)->text(), "65535");
    EXPECT_EQ(listen.GetPos32(), 65535);

    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendEvent(settingEdit(IDC_FORWARD_PORT_EDIT), &down);
    }
    EXPECT_EQ(settingEdit(IDC_FORWARD_PORT_EDIT)->text(), "0");
    QKeyEvent up(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier);
    QCoreApplication::sendEvent(settingEdit(IDC_FORWARD_PORT_EDIT), &up);
    EXPECT_EQ(forward.GetPos32(), 1);

    // Only the destination port's edit steps with the arrow keys.
    QCoreApplication::sendEvent(settingEdit(IDC_LISTEN_PORT_EDIT), &down);
    EXPECT_EQ(settingEdit(IDC_LISTEN_PORT_EDIT)->text(), "65535");

    settingEdit(IDC_FORWARD_PORT_EDIT)->setText("1234");
    forward.downButton()->click();
    EXPECT_EQ(settingEdit(IDC_FORWARD_PORT_EDIT)->text(), "1233");
    settingEdit(IDC_FORWARD_PORT_EDIT)->setText("12,345");
    EXPECT_EQ(forward.GetPos32(), 1233);
    EXPECT_EQ(settingEdit(IDC_FORWARD_PORT_EDIT)->text(), "12,345");
}

}  // namespace
