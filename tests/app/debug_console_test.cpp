#include "app/debug_console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/tarnwick_app.h"
#include "platform/qt/dialog.h"
#include "resources/dialog_templates.h"
#include "tests/app/wait_until.h"

namespace {

// A descriptor of the test's own for the console to take over.
class ConsoleOnDescriptor : public testing::Test {
  protected:
    void SetUp() override {
        fd_ = open("/dev/null", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd_, 0);
        console_ = std::make_unique<CDebugConsole>("console");
        ASSERT_TRUE(console_->attachDescriptor(fd_));
    }
    void TearDown() override {
        console_.reset();
        close(fd_);
    }
    void put(const std::string& text) {
        ASSERT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    int fd_ = -1;
    std::unique_ptr<CDebugConsole> console_;
};

TEST_F(ConsoleOnDescriptor, ShowsWhatIsWrittenWithLinesContinuedWhereTheyEnded) {
    put("CurrentDir=/opt/t");
    put("CTcpRepeater::start\n");
    put("next line\n");
    EXPECT_TRUE(waitUntil([&] {
        return console_->text() == "CurrentDir=/opt/tCTcpRepeater::start\nnext line\n";
    })) << console_->text().toStdString();
}

TEST_F(ConsoleOnDescriptor, CharacterSplitBetweenWritesIsShownWhole) {
    std::string text = "ターン\n";
    put(text.substr(0, 4));
    ASSERT_TRUE(waitUntil([&] { return !console_->text().isEmpty(); }));
    put(text.substr(4));
    EXPECT_TRUE(waitUntil([&] { return console_->text() == QString::fromUtf8("ターン\n"); }))
        << console_->text().toStdString();
}

TEST_F(ConsoleOnDescriptor, WritingMoreThanAPipeHoldsNeverWaitsForTheUiThread) {
    // Written without the UI thread taking part: were the pipe read on the UI thread, this
    // would block once the pipe is full.
    std::string line(99, 'x');
    line += '\n';
    for (int i = 0; i < CDebugConsole::kScrollbackLines + 2000; ++i) {
        put(line);
    }
    put("last\n");
    auto* view = console_->findChild<QPlainTextEdit*>();
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(waitUntil([&] { return console_->text().endsWith("x\nlast\n"); }));
    EXPECT_LE(view->blockCount(), CDebugConsole::kScrollbackLines);
}

TEST_F(ConsoleOnDescriptor, CannotBeClosedByTheUser) {
    console_->show();
    EXPECT_FALSE(console_->close());
    EXPECT_TRUE(console_->isVisible());
}

TEST(DebugConsoleStart, FirstLinesAreBannerDebugLineAndDirectory) {
    std::array<char, 4096> start{};
    ASSERT_NE(getcwd(start.data(), start.size()), nullptr);
    std::string folder = std::filesystem::temp_directory_path() / "tarnwick-console-XXXXXX";
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    std::string program = folder + "/tarnwick-pico";

    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    QString shown;
    std::string expected;
    {
        CDebugConsole console("console");
        ASSERT_TRUE(console.attachDescriptor(STDOUT_FILENO));
        g_debugMode = 1;
        CTarnwickApp::announceStart(program.c_str());
        std::printf("CTcpRepeater::start(8080)\n");
        g_debugMode = 0;
        expected =
            "********** Start TARNWICK DEBUG MODE  *******\n"
            "DEBUG_MODE ON\n"
            "CurrentDir=" +
            folder + "CTcpRepeater::start(8080)\n";
        waitUntil([&] { return console.text().toStdString() == expected; });
        shown = console.text();
    }
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_EQ(shown.toStdString(), expected);
    ASSERT_EQ(chdir(start.data()), 0);
    std::filesystem::remove_all(folder);
}

}  // namespace

namespace {

// Input as the window system delivers it, through Qt's modality checks.
void clickAt(QWidget& widget, QPoint point) {
    QTest::mouseClick(widget.window()->windowHandle(), Qt::LeftButton, {},
                      widget.mapTo(widget.window(), point));
}

void keyTo(QWidget& widget, Qt::Key key, Qt::KeyboardModifiers modifiers) {
    widget.setFocus();
    QTest::keyClick(widget.window()->windowHandle(), key, modifiers);
}

}  // namespace

TEST_F(ConsoleOnDescriptor, UsableWhileTheMainWindowRunsAndFollowsOnlyAtTheEnd) {
    console_->show();
    std::string lines;
    for (int i = 0; i < 300; ++i) {
        lines += "line " + std::to_string(i) + "\n";
    }
    put(lines);
    QScrollBar* bar = console_->view()->verticalScrollBar();
    ASSERT_TRUE(waitUntil([&] { return bar->maximum() > 0 && bar->value() == bar->maximum(); }));

    CDialog mainWindow(dialogTemplate(IDD_TARNWICK_DIALOG));
    int scrolledTo = -1;
    int afterMoreLines = -1;
    QString copied;
    QTimer::singleShot(0, &mainWindow, [&] {
        // The scroll bar's track just below its up arrow: a page up.
        clickAt(*bar, QPoint(bar->width() / 2, bar->width() + 4));
        scrolledTo = bar->value();
        put("one more\n");
        waitUntil([&] { return console_->text().endsWith("one more\n"); });
        afterMoreLines = bar->value();
        keyTo(*console_->view(), Qt::Key_A, Qt::ControlModifier);
        keyTo(*console_->view(), Qt::Key_C, Qt::ControlModifier);
        copied = QGuiApplication::clipboard()->text();
        mainWindow.EndDialog(IDCANCEL);
    });
    QTimer::singleShot(10000, &mainWindow, [&] { mainWindow.EndDialog(IDCANCEL); });
    mainWindow.DoModal();
    EXPECT_LT(scrolledTo, bar->maximum());
    EXPECT_EQ(afterMoreLines, scrolledTo);
    EXPECT_TRUE(copied.startsWith("line 0\n")) << copied.left(20).toStdString();
    EXPECT_TRUE(copied.endsWith("one more\n"));

    bar->setValue(bar->maximum());
    put("at the end\n");
    EXPECT_TRUE(waitUntil([&] { return console_->text().endsWith("at the end\n"); }));
    EXPECT_EQ(bar->value(), bar->maximum());
}
