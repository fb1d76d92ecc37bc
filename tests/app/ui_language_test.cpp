#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QTableWidget>
#include <QTimer>
#include <QXmlStreamReader>
#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/about_dlg.h"
#include "app/tarnwick_dlg.h"
#include "app/tray_controller.h"
#include "app/tray_summary.h"
#include "app/ui_language.h"
#include "app/window_menu.h"
#include "panels/options_dlg.h"
#include "panels/port_dlg.h"
#include "panels/setting_dlg.h"
#include "panels/status_dlg.h"
#include "platform/qt/ui_text.h"
#include "resources/dialog_templates.h"
#include "tests/app/child_program.h"
#include "tests/app/scoped_env.h"
#include "tests/app/wait_until.h"
#include "tests/support/file_text.h"
#include "tests/support/message_recorder.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

bool isJapanese(char32_t c) {
    return (c >= 0x3000 && c <= 0x30FF) || (c >= 0x31F0 && c <= 0x31FF) ||
           (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) ||
           (c >= 0xFF00 && c <= 0xFFEF);
}

bool hasJapanese(const QString& text) {
    for (const char32_t c : text.toUcs4()) {
        if (isJapanese(c)) {
            return true;
        }
    }
    return false;
}

// The locale a test runs under, with nothing else that names one.
class Locale {
  public:
    explicit Locale(const char* lang) : lang_("LANG", lang) {}

  private:
    ScopedEnv all_{"LC_ALL", nullptr};
    ScopedEnv messages_{"LC_MESSAGES", nullptr};
    ScopedEnv list_{"LANGUAGE", nullptr};
    ScopedEnv lang_;
};

struct LocaleCase {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    const char* languageList;
    UiLanguage expected;
};

TEST(UiLanguage, LocaleChoosesJapaneseForJapaneseAndNoLocaleEnglishForTheRest) {
    const UiLanguage ja = UiLanguage::Japanese;
    const UiLanguage en = UiLanguage::English;
    const std::array<LocaleCase, 13> cases{{
        {nullptr, nullptr, nullptr, nullptr, ja},
        {"", "", "", "", ja},
        {nullptr, nullptr, "C", nullptr, ja},
        {nullptr, nullptr, "C.UTF-8", "de", ja},  // no locale: the list is not consulted
        {nullptr, nullptr, "POSIX", nullptr, ja},
        {nullptr, nullptr, "ja_JP.UTF-8", nullptr, ja},
        {nullptr, nullptr, "ja_JP.eucJP@x", nullptr, ja},
        {nullptr, nullptr, "en_US.UTF-8", nullptr, en},
        {nullptr, nullptr, "de_DE.UTF-8", nullptr, en},
        {nullptr, nullptr, "jam_JM", nullptr, en},
        {"de_DE.UTF-8", "ja_JP.UTF-8", "ja_JP.UTF-8", nullptr, en},
        {nullptr, "ja_JP.UTF-8", "en_US.UTF-8", nullptr, ja},
        {nullptr, nullptr, "en_US.UTF-8", "ja:en", ja},
    }};
    for (const LocaleCase& c : cases) {
        EXPECT_EQ(localeLanguage(c.lcAll, c.lcMessages, c.lang, c.languageList), c.expected)
            << (c.lcAll ? c.lcAll : "-") << " " << (c.lcMessages ? c.lcMessages : "-") << " "
            << (c.lang ? c.lang : "-") << " " << (c.languageList ? c.languageList : "-");
    }
}

class UiLanguageFile : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = fs::temp_directory_path() / "tarnwick-lang-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { fs::remove_all(folder_); }
    std::string ini() const { return (folder_ / "TarnwickPico.ini").string(); }

    fs::path folder_;
};

TEST_F(UiLanguageFile, OptionOverridesTheLocaleAndIsWrittenOnlyWhenChosen) {
    const Locale german("de_DE.UTF-8");
    std::ofstream(ini()) << "[TCP-PORT0]\nPORT=80\n";
    EXPECT_EQ(readLanguageOption(ini()), std::nullopt);
    EXPECT_EQ(chooseUiLanguage(ini()), UiLanguage::English);
    EXPECT_EQ(readFile(ini()), "[TCP-PORT0]\nPORT=80\n");

    ASSERT_TRUE(writeLanguageOption(ini(), UiLanguage::Japanese));
    EXPECT_EQ(readFile(ini()), "[TCP-PORT0]\nPORT=80\n[OPTIONS]\nLANGUAGE=ja\n");
    EXPECT_EQ(chooseUiLanguage(ini()), UiLanguage::Japanese);
    for (const char* value : {"EN", "en", " en "}) {
        std::ofstream(ini()) << "[OPTIONS]\nLANGUAGE=" << value << "\n";
        const Locale none(nullptr);
        EXPECT_EQ(chooseUiLanguage(ini()), UiLanguage::English) << value;
    }
    std::ofstream(ini()) << "[OPTIONS]\nLANGUAGE=fr\n";
    EXPECT_EQ(chooseUiLanguage(ini()), UiLanguage::English);  // the locale decides
}

// Every text a widget shows: titles, captions, items, headings and tooltips.
void collectTexts(const QWidget& root, QStringList& texts) {
    std::vector<const QWidget*> widgets{&root};
    for (const QWidget* child : root.findChildren<QWidget*>()) {
        widgets.push_back(child);
    }
    for (const QWidget* widget : widgets) {
        texts << widget->windowTitle() << widget->toolTip();
        if (const auto* label = qobject_cast<const QLabel*>(widget)) {
            texts << label->text();
        } else if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
            texts << button->text();
        } else if (const auto* group = qobject_cast<const QGroupBox*>(widget)) {
            texts << group->title();
        } else if (const auto* combo = qobject_cast<const QComboBox*>(widget)) {
            for (int i = 0; i < combo->count(); ++i) {
                texts << combo->itemText(i);
            }
        } else if (const auto* table = qobject_cast<const QTableWidget*>(widget)) {
            for (int i = 0; i < table->columnCount(); ++i) {
                if (const QTableWidgetItem* heading = table->horizontalHeaderItem(i)) {
                    texts << heading->text();
                }
            }
        }
    }
    for (const QAction* action : root.findChildren<QAction*>()) {
        texts << action->text() << action->toolTip();
    }
}

// The window's menu with every item it can offer, as the user sees it.
QStringList windowMenuTexts(QWidget& owner) {
    QStringList texts;
    const std::vector<MenuItem> about{{0, {}}, {IDM_ABOUTBOX, "ターンウィック Pico のﾊﾞｰｼﾞｮﾝ情報"}};
    WindowMenuOffer offer;
    offer.removeItem = true;
    offer.optionItems = true;
    offer.systemItems = &about;
    QTimer::singleShot(50, &owner, [&] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            collectTexts(*menu, texts);
            menu->close();
        }
    });
    chooseFromWindowMenu(owner, QPoint(0, 0), offer);
    return texts;
}

struct WalkCase {
    const char* lang;
    bool english;
};

class LanguageWalk : public UiLanguageFile, public testing::WithParamInterface<WalkCase> {
  protected:
    void SetUp() override {
        UiLanguageFile::SetUp();
        std::array<char, 4096> start{};
        ASSERT_NE(getcwd(start.data(), start.size()), nullptr);
        start_ = start.data();
        ASSERT_EQ(chdir(folder_.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(start_.c_str()), 0);
        UiLanguageFile::TearDown();
    }
    std::string start_;
};

// Every window, dialog, menu and box of a run, and every text of the translation.
TEST_P(LanguageWalk, EveryVisibleTextIsInTheLocalesLanguage) {
    const Locale locale(GetParam().lang);
    // The first panel is saved ON without a listen port: its refusal is a box at start.
    std::ofstream(ini()) << "[TCP-PORT0]\nACT=1\nPORT=0\nFORWARDHOST=h\nFORWARDPORT=80\n"
                            "[TCP-PORT1]\nACT=0\nPORT=8080\nFORWARDHOST=h\nFORWARDPORT=80\n";
    const UiTranslations translations(chooseUiLanguage(ini()));
    ASSERT_EQ(translations.language(),
              GetParam().english ? UiLanguage::English : UiLanguage::Japanese);
    ASSERT_TRUE(translations.loaded() || !GetParam().english);

    MessageRecorder boxes;
    boxes.answers = {IDOK, IDNO};
    QStringList texts;
    {
        CTarnwickDlg dlg;
        ASSERT_TRUE(dlg.Create(nullptr));
        dlg.panels()[1]->clickControl(IDC_STATUS_BUTTON);
        dlg.removePanel(1);
        collectTexts(dlg, texts);
        collectTexts(*dlg.settingDlg(), texts);
        texts << windowMenuTexts(dlg);
        CTrayController tray;
        tray.setSummary(trayToolTip(dlg.windowTitle(), dlg.panels()), trayEntries(dlg.panels()));
        collectTexts(tray.menu(), texts);
        texts << tray.toolTip();
        CAboutDlg about(&dlg);
        about.Create(&dlg);
        collectTexts(about, texts);
    }
    COptionsDlg options{ForwardConfig{}};
    options.Create(nullptr);
    collectTexts(options, texts);
    CStatusDlg status;
    status.Create(nullptr);
    collectTexts(status, texts);
    ASSERT_EQ(boxes.shown.size(), 3u);
    for (const MessageBoxRequest& box : boxes.shown) {
        texts << QString::fromStdString(box.caption) << QString::fromStdString(box.text);
    }

    if (GetParam().english) {
        for (const QString& text : texts) {
            EXPECT_FALSE(hasJapanese(text)) << text.toStdString();
        }
        EXPECT_TRUE(texts.contains("The listen port is not set."));
        EXPECT_TRUE(texts.contains("Tarnwick Settings"));
        EXPECT_TRUE(texts.contains("English"));  // the window's menu was walked
        EXPECT_TRUE(texts.contains("Quit"));     // and the icon's
    } else {
        for (const char* own : {"ターンウィック Pico.", "TARNWICK設定", "TARNWICK詳細設定",
                                "ポートを追加", "Listenポートが無効な設定です",
                                "TCP:8080 の設定を削除しますか?", "現在接続はありません."}) {
            EXPECT_TRUE(texts.contains(QString::fromUtf8(own))) << own;
        }
    }

    // The texts no walk reaches (boxes of rare failures, the console's menu) by the file
    // they come from: every one has its English.
    QFile ts(QStringLiteral(TARNWICK_SOURCE_DIR "/i18n/tarnwick-pico_en.ts"));
    ASSERT_TRUE(ts.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&ts);
    QString context;
    int messages = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.isStartElement() && xml.name() == QLatin1String("source")) {
            const QByteArray source = xml.readElementText().toUtf8();
            const QString shown = uiText(context.toUtf8().constData(), source.constData());
            ++messages;
            if (GetParam().english) {
                EXPECT_FALSE(hasJapanese(shown)) << source.constData();
            } else {
                EXPECT_EQ(shown.toUtf8(), source);
            }
        }
    }
    EXPECT_FALSE(xml.hasError());
    EXPECT_GT(messages, 50);
}

INSTANTIATE_TEST_SUITE_P(Locales, LanguageWalk,
                         testing::Values(WalkCase{"en_US.UTF-8", true},
                                         WalkCase{"de_DE.UTF-8", true},
                                         WalkCase{"ja_JP.UTF-8", false}, WalkCase{nullptr, false}));

struct HeadlessCase {
    const char* lang;
    const char* option;  // LANGUAGE= in [OPTIONS], or null
    const char* expected;
};

class HeadlessLines : public UiLanguageFile, public testing::WithParamInterface<HeadlessCase> {};

// Without a display a box is a "<caption>: <text>" line on standard error.
TEST_P(HeadlessLines, BoxLinesFollowTheChosenLanguage) {
    const Locale locale(GetParam().lang);
    std::ofstream file(ini());
    if (GetParam().option != nullptr) {
        file << "[OPTIONS]\nLANGUAGE=" << GetParam().option << "\n";
    }
    file << "[TCP-PORT0]\nACT=1\nPORT=0\nFORWARDHOST=h\nFORWARDPORT=80\n";
    file.close();
    ChildProgram program(folder_.string(), ChildProgram::programIn(folder_.string()), {}, "/");
    ASSERT_TRUE(program.started());
    const std::string errors = ChildProgram::errorFile(folder_.string());
    EXPECT_TRUE(waitUntil([&] { return readFile(errors).find('\n') != std::string::npos; }, 20s));
    program.signal(SIGTERM);
    ASSERT_TRUE(program.waitForExit().has_value());
    const std::string line = readFile(errors);
    EXPECT_NE(line.find(std::string(": ") + GetParam().expected + "\n"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Choices, HeadlessLines,
    testing::Values(HeadlessCase{"en_US.UTF-8", nullptr, "The listen port is not set."},
                    HeadlessCase{"de_DE.UTF-8", nullptr, "The listen port is not set."},
                    HeadlessCase{"en_US.UTF-8", "ja", "Listenポートが無効な設定です"},
                    HeadlessCase{"C.UTF-8", "en", "The listen port is not set."}));

}  // namespace
