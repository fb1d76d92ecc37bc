#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <typeinfo>

#include "platform/qt/dialog.h"
#include "platform/qt/link_ctrl.h"
#include "platform/qt/list_ctrl.h"
#include "platform/qt/spin_button_ctrl.h"
#include "resources/dialog_templates.h"

namespace {

struct Conversion {
    DialogBaseUnits units;
    int x, y, cx, cy;
    QRect expected;
};

class ConversionTest : public ::testing::TestWithParam<Conversion> {};

TEST_P(ConversionTest, QuarterCharacterAcrossEighthDown) {
    const Conversion& c = GetParam();
    EXPECT_EQ(dialogUnitsToPixels(c.units, c.x, c.y, c.cx, c.cy), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Units, ConversionTest,
                         ::testing::Values(Conversion{{7, 13}, 4, 8, 4, 8, QRect(7, 13, 7, 13)},
                                           Conversion{
                                               {7, 13}, 189, 41, 189, 41, QRect(331, 67, 331, 67)},
                                           // Halves round away from zero, as MulDiv does.
                                           Conversion{{6, 12}, 2, 1, 1, 3, QRect(3, 2, 2, 5)},
                                           Conversion{{8, 16}, 0, 0, 0, 0, QRect(0, 0, 0, 0)}));

TEST(DialogFont, FallsBackToAJapaneseProportionalGothic) {
    const QFont font = dialogFont("ＭＳ Ｐゴシック", 9);
    EXPECT_EQ(font.pointSize(), 9);
    const QString family = QFontInfo(font).family();
    EXPECT_TRUE(family == "IPAPGothic" || family == "ＭＳ Ｐゴシック" || family == "MS PGothic")
        << family.toStdString();
    const DialogBaseUnits units = dialogBaseUnits(font);
    EXPECT_GT(units.cx, 3);
    EXPECT_GT(units.cy, 8);
}

const std::type_info& widgetTypeFor(ControlKind kind) {
    switch (kind) {
        case ControlKind::PushButton:
        case ControlKind::PushLikeCheck:
            return typeid(QPushButton);
        case ControlKind::CheckBox:
            return typeid(QCheckBox);
        case ControlKind::Edit:
            return typeid(QLineEdit);
        case ControlKind::GroupBox:
            return typeid(QGroupBox);
        case ControlKind::UpDown:
            return typeid(CSpinButtonCtrl);
        case ControlKind::ListView:
            return typeid(CListCtrl);
        case ControlKind::Link:
            return typeid(CLinkCtrl);
        default:
            return typeid(QLabel);
    }
}

class TemplateTest : public ::testing::TestWithParam<int> {};

TEST_P(TemplateTest, BuildsEveryControlAtItsPlaceFoundByIdentifier) {
    const DialogTemplate& dialog = dialogTemplate(GetParam());
    ASSERT_EQ(dialog.id, GetParam());
    QWidget host;
    const DialogControls built = buildDialogControls(dialog, &host);
    const DialogBaseUnits units = templateBaseUnits(dialog);

    EXPECT_EQ(host.size(), dialogUnitsToPixels(units, 0, 0, dialog.cx, dialog.cy).size());
    ASSERT_EQ(built.all().size(), dialog.controls.size());
    for (std::size_t i = 0; i < dialog.controls.size(); ++i) {
        const ControlTemplate& control = dialog.controls[i];
        QWidget* widget = built.all()[i].widget;
        SCOPED_TRACE(control.text);
        EXPECT_EQ(typeid(*widget), widgetTypeFor(control.kind));
        if (control.id != IDC_STATIC) {
            EXPECT_EQ(built.find(control.id), widget);
        }
        const QRect placed =
            dialogUnitsToPixels(units, control.x, control.y, control.cx, control.cy);
        if (control.kind == ControlKind::Label) {
            // A label may only grow to show its text.
            EXPECT_EQ(widget->y(), placed.y());
            EXPECT_GE(widget->width(), placed.width());
        } else if (control.kind != ControlKind::UpDown && control.kind != ControlKind::Edit) {
            EXPECT_EQ(widget->geometry(), placed);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(All, TemplateTest,
                         ::testing::Values(IDD_ABOUTBOX, IDD_TARNWICK_DIALOG, IDD_PORT_DIALOG,
                                           IDD_SETTING_DIALOG, IDD_STATUS_DIALOG));

TEST(DialogBuilder, ControlsCarryTheirStyles) {
    QWidget host;
    const DialogControls port = buildDialogControls(dialogTemplate(IDD_PORT_DIALOG), &host);
    auto* toggle = port.findAs<QPushButton>(IDC_SWITCH);
    EXPECT_TRUE(toggle->isCheckable());
    EXPECT_EQ(toggle->text(), "OFF");
    EXPECT_FALSE(port.findAs<QPushButton>(IDC_SETTING_BUTTON)->isCheckable());
    EXPECT_EQ(port.findAs<QLabel>(IDC_COUNT_TEXT)->alignment() & Qt::AlignHorizontal_Mask,
              Qt::AlignRight);
    EXPECT_EQ(port.findAs<QLabel>(IDC_FORWARD_HOST_TEXT)->alignment() & Qt::AlignHorizontal_Mask,
              Qt::AlignHCenter);
    EXPECT_EQ(port.findAs<QGroupBox>(IDC_LISTEN_FRAME)->title(), "TCP ：65535");
    EXPECT_EQ(port.find(IDC_STATIC), nullptr);

    QWidget settingHost;
    const DialogControls setting =
        buildDialogControls(dialogTemplate(IDD_SETTING_DIALOG), &settingHost);
    EXPECT_TRUE(setting.findAs<QPushButton>(IDOK)->isDefault());
    EXPECT_FALSE(setting.findAs<QPushButton>(IDCANCEL)->isDefault());
    auto* listenEdit = setting.findAs<QLineEdit>(IDC_LISTEN_PORT_EDIT);
    EXPECT_EQ(listenEdit->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    EXPECT_EQ(setting.findAs<QLineEdit>(IDC_HOST_EDIT)->alignment() & Qt::AlignHorizontal_Mask,
              Qt::AlignLeft);
    EXPECT_EQ(setting.findAs<QLineEdit>(IDC_HOST_EDIT)->maxLength(), 32767);
    for (const auto& [spinId, editId] : {std::pair{IDC_LISTEN_PORT_SPIN, IDC_LISTEN_PORT_EDIT},
                                         std::pair{IDC_FORWARD_PORT_SPIN, IDC_FORWARD_PORT_EDIT}}) {
        auto* spin = setting.findAs<CSpinButtonCtrl>(spinId);
        auto* edit = setting.findAs<QLineEdit>(editId);
        EXPECT_EQ(spin->GetBuddy(), edit);
        // Against the right edge of the buddy, overlapping its border.
        EXPECT_NEAR(spin->x(), edit->geometry().right(), 2);
        EXPECT_EQ(spin->y(), edit->y());
    }
}

TEST(DialogBuilder, IconControlsAskTheLoader) {
    int asked = 0;
    setDialogIconLoader([&](int resource, QSize size) {
        asked = resource;
        QPixmap picture(size);
        picture.fill(Qt::red);
        return picture;
    });
    QWidget host;
    const DialogControls about = buildDialogControls(dialogTemplate(IDD_ABOUTBOX), &host);
    setDialogIconLoader(nullptr);
    EXPECT_EQ(asked, IDR_MAINFRAME_ICON);
    auto* icon = dynamic_cast<QLabel*>(about.all().front().widget);
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
}

struct PositionCase {
    const char* typed;
    int expected;
};

class SpinReadTest : public ::testing::TestWithParam<PositionCase> {};

TEST_P(SpinReadTest, ReadsTheBuddyWhenWholeAndInRangeElseTheLastValidPosition) {
    QWidget host;
    auto* edit = new QLineEdit(&host);
    auto* spin = new CSpinButtonCtrl(&host);
    spin->SetBuddy(edit);
    spin->SetRange32(0, 65535);
    spin->SetPos32(500);
    ASSERT_EQ(edit->text(), "500");

    edit->setText(QString::fromUtf8(GetParam().typed));
    EXPECT_EQ(spin->GetPos32(), GetParam().expected);
    EXPECT_EQ(edit->text(), QString::fromUtf8(GetParam().typed));
}

INSTANTIATE_TEST_SUITE_P(Texts, SpinReadTest,
                         ::testing::Values(PositionCase{"8080", 8080}, PositionCase{"0", 0},
                                           PositionCase{"65535", 65535}, PositionCase{"65536", 500},
                                           PositionCase{"70000", 500}, PositionCase{"-1", 500},
                                           PositionCase{"", 500}, PositionCase{"80a", 500},
                                           PositionCase{"8.5", 500},
                                           PositionCase{"99999999999999999999", 500}));

TEST(SpinButton, SetPosClampsAndArrowsDoNotWrap) {
    QWidget host;
    auto* edit = new QLineEdit(&host);
    auto* spin = new CSpinButtonCtrl(&host);
    spin->SetBuddy(edit);
    spin->SetRange32(0, 65535);
    spin->SetPos32(70000);
    EXPECT_EQ(edit->text(), "65535");
    spin->step(1);
    EXPECT_EQ(edit->text(), "65535");
    spin->SetPos32(0);
    spin->step(-1);
    EXPECT_EQ(edit->text(), "0");
    spin->SetPos32(1233);
    spin->step(1);
    EXPECT_EQ(edit->text(), "1234");
}

}  // namespace
