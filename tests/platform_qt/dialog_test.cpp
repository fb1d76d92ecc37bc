#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>
#include <vector>

#include "platform/qt/dialog.h"
#include "platform/qt/link_ctrl.h"
#include "platform/qt/message_box.h"
#include "platform/socket_event_loop.h"
#include "resources/dialog_templates.h"
#include "tests/support/message_recorder.h"
#include "tests/support/qt_test_session.h"

namespace {

// Records what reaches the dialog's handlers.
class RecordingDialog : public CDialog {
  public:
    explicit RecordingDialog(int templateId) : CDialog(dialogTemplate(templateId)) {}

    std::vector<int> commands;
    std::vector<int> links;
    int initialised = 0;
    int switchState = 7;

  protected:
    bool OnInitDialog() override {
        ++initialised;
        return CDialog::OnInitDialog();
    }
    void DoDataExchange(CDataExchange& dx) override {
        if (templateData().id == IDD_PORT_DIALOG) {
            DDX_Check(dx, IDC_SWITCH, switchState);
        }
    }
    void OnCommand(int id) override {
        commands.push_back(id);
        CDialog::OnCommand(id);
    }
    void OnLinkClick(int id) override { links.push_back(id); }
};

void pressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &press);
}

// Runs action inside the next modal loop that comes up.
void whenModal(const std::function<void(QWidget&)>& action) {
    auto* poll = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, clock, action] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr && clock->elapsed() < 5000) {
            return;
        }
        poll->stop();
        poll->deleteLater();
        delete clock;
        if (modal != nullptr) {
            action(*modal);
        }
    });
    poll->start(5);
}

TEST(Dialog, ModalRunReturnsTheButtonThatEndedIt) {
    for (const int key : {Qt::Key_Return, Qt::Key_Escape}) {
        RecordingDialog dialog(IDD_STATUS_DIALOG);
        whenModal([key](QWidget& modal) { pressKey(&modal, key); });
        const int result = dialog.DoModal();
        EXPECT_EQ(result, key == Qt::Key_Return ? IDOK : IDCANCEL);
        EXPECT_EQ(dialog.commands, std::vector<int>{result});
        EXPECT_EQ(dialog.initialised, 1);
    }
}

TEST(Dialog, CloseBoxIsCancel) {
    RecordingDialog dialog(IDD_SETTING_DIALOG);
    dialog.Create(nullptr);
    EXPECT_FALSE(dialog.isVisible());
    dialog.show();
    dialog.close();
    EXPECT_EQ(dialog.commands, std::vector<int>{IDCANCEL});
    EXPECT_FALSE(dialog.isVisible());
}

TEST(Dialog, ChildDialogLeavesEnterAndEscapeToItsParent) {
    RecordingDialog parent(IDD_TARNWICK_DIALOG);
    parent.Create(nullptr);
    RecordingDialog child(IDD_PORT_DIALOG);
    child.Create(&parent);
    EXPECT_EQ(child.parentWidget(), &parent);
    EXPECT_FALSE(child.isWindow());

    pressKey(&child, Qt::Key_Escape);

    EXPECT_TRUE(child.commands.empty());
    EXPECT_EQ(parent.commands, std::vector<int>{IDCANCEL});
}

TEST(Dialog, ClicksAndLinksReachTheHandlersByIdentifier) {
    RecordingDialog dialog(IDD_PORT_DIALOG);
    dialog.Create(nullptr);
    dialog.clickControl(IDC_SETTING_BUTTON);
    dialog.clickControl(IDC_SWITCH);
    EXPECT_EQ(dialog.commands, (std::vector<int>{IDC_SETTING_BUTTON, IDC_SWITCH}));

    RecordingDialog main(IDD_TARNWICK_DIALOG);
    main.Create(nullptr);
    main.dlgItem<CLinkCtrl>(IDC_HOMEPAGE_LINK)->click();
    EXPECT_EQ(main.links, std::vector<int>{IDC_HOMEPAGE_LINK});
    EXPECT_EQ(main.GetWindowText(), "ターンウィック（β）");
}

TEST(Dialog, CheckExchangeReplacesValuesOutsideZeroToTwo) {
    RecordingDialog dialog(IDD_PORT_DIALOG);
    dialog.Create(nullptr);  // refreshes with 7
    EXPECT_EQ(dialog.switchState, 0);
    auto* toggle = dialog.dlgItem<QAbstractButton>(IDC_SWITCH);
    EXPECT_FALSE(toggle->isChecked());

    dialog.switchState = 1;
    dialog.UpdateData(false);
    EXPECT_TRUE(toggle->isChecked());
    toggle->setChecked(false);
    dialog.UpdateData(true);
    EXPECT_EQ(dialog.switchState, 0);
}

TEST(Dialog, CentresOnTheGivenWindow) {
    QWidget owner;
    owner.setGeometry(300, 200, 600, 400);
    owner.show();
    RecordingDialog dialog(IDD_SETTING_DIALOG);
    dialog.Create(&owner);
    dialog.CenterWindow(&owner);
    EXPECT_LE((dialog.geometry().center() - owner.geometry().center()).manhattanLength(), 1);
}

struct BoxCase {
    unsigned asked;
    unsigned shown;
};

class FrameworkBoxTest : public ::testing::TestWithParam<BoxCase> {};

TEST_P(FrameworkBoxTest, TakesTheProgramNameAndTheConventionalIcon) {
    MessageRecorder recorder;
    recorder.answers = {IDNO};
    const int answer = AfxMessageBox("text", GetParam().asked);

    EXPECT_EQ(answer, IDNO);
    ASSERT_EQ(recorder.shown.size(), 1u);
    EXPECT_EQ(recorder.shown[0].text, "text");
    EXPECT_EQ(recorder.shown[0].caption, "platform_qt_tests");
    EXPECT_EQ(recorder.shown[0].type, GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Types, FrameworkBoxTest,
                         ::testing::Values(BoxCase{MB_OK, MB_OK | MB_ICONWARNING},
                                           BoxCase{MB_YESNO, MB_YESNO | MB_ICONQUESTION},
                                           BoxCase{MB_OK | MB_ICONINFORMATION,
                                                   MB_OK | MB_ICONINFORMATION}));

TEST(MessageBox, PlainBoxKeepsCaptionAndType) {
    MessageRecorder recorder;
    MessageBoxA(nullptr, "     既に起動されています.     ", "２重起動", MB_OK);

    ASSERT_EQ(recorder.shown.size(), 1u);
    EXPECT_EQ(recorder.shown[0].caption, "２重起動");
    EXPECT_EQ(recorder.shown[0].type, MB_OK);
}

TEST(MessageBox, StandardBoxShowsButtonsIconAndCaptionAndReturnsTheAnswer) {
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    whenModal([&](QWidget& modal) {
        auto& box = dynamic_cast<QMessageBox&>(modal);
        title = box.windowTitle();
        icon = box.icon();
        buttons = box.standardButtons();
        box.button(QMessageBox::No)->click();
    });

    const int answer = AfxMessageBox("質問", MB_YESNO);

    EXPECT_EQ(answer, IDNO);
    EXPECT_EQ(title, "platform_qt_tests");
    EXPECT_EQ(icon, QMessageBox::Question);
    EXPECT_EQ(buttons, QMessageBox::Yes | QMessageBox::No);
}

}  // namespace
