#include "app/debug_console.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCloseEvent>
#include <QFontDatabase>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QVBoxLayout>
#include <array>
#include <cstdio>

#include "app/pipe_reader.h"
#include "platform/qt/ui_text.h"

CDebugConsole::CDebugConsole(const QString& title) : view_(new QPlainTextEdit(this)) {
    setWindowTitle(title);
    view_->setReadOnly(true);
    view_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view_, &QPlainTextEdit::customContextMenuRequested, this,
            &CDebugConsole::showContextMenu);
    view_->setMaximumBlockCount(kScrollbackLines);
    view_->setLineWrapMode(QPlainTextEdit::NoWrap);
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view_->setStyleSheet("QPlainTextEdit { background: black; color: #c0c0c0; }");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
    resize(680, 400);
}

CDebugConsole::~CDebugConsole() {
    if (reader_ == nullptr) {
        return;
    }
    // Later writes go to the null device rather than into a pipe nobody reads, which
    // would end the process with SIGPIPE.
    if (attachedFd_ == STDOUT_FILENO) {
        std::fflush(stdout);
    }
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, attachedFd_);
        ::close(null);
    }
    // Joins the reader before the members it hands text to go away.
    reader_.reset();
}

bool CDebugConsole::attachDescriptor(int fd) {
    std::array<int, 2> ends{};
    if (reader_ != nullptr || pipe2(ends.data(), O_CLOEXEC) != 0) {
        return false;
    }
    auto reader = std::make_unique<CPipeReader>(
        ends[0], [this](std::string chunk) { takeChunk(std::move(chunk)); });
    if (fd == STDOUT_FILENO) {
        std::fflush(stdout);
    }
    // dup2 leaves the copy inheritable: programs started from here write into the console
    // as they would into a real one.
    if (dup2(ends[1], fd) < 0) {
        ::close(ends[1]);
        return false;
    }
    ::close(ends[1]);
    if (!reader->start()) {
        return false;
    }
    reader_ = std::move(reader);
    attachedFd_ = fd;
    if (fd == STDOUT_FILENO) {
        // Handing over a buffer resets the stream's write area; without one, a stream that
        // has been written to keeps buffering fully.
        static std::array<char, BUFSIZ> lineBuffer{};
        std::setvbuf(stdout, lineBuffer.data(), _IOLBF, lineBuffer.size());
    }
    return true;
}

void CDebugConsole::takeChunk(std::string chunk) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = pending_.empty();
        pending_ += chunk;
        if (pending_.size() > kMaxPending) {
            pending_.erase(0, pending_.size() - kMaxPending);
        }
    }
    if (first) {
        QMetaObject::invokeMethod(this, &CDebugConsole::showPending, Qt::QueuedConnection);
    }
}

void CDebugConsole::showPending() {
    std::string batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
    }
    if (batch.empty()) {
        return;
    }
    QString text =
        decoder_.decode(QByteArrayView(batch.data(), static_cast<qsizetype>(batch.size())));
    // Only a reader at the end follows the trace; one who scrolled up keeps the place and
    // the selection.
    QScrollBar* bar = view_->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    QTextCursor cursor(view_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    if (atEnd) {
        bar->setValue(bar->maximum());
    }
}

void CDebugConsole::showContextMenu(const QPoint& position) {
    QMenu menu(this);
    QAction* copy = menu.addAction(uiText("DebugConsole", "コピー"), view_, &QPlainTextEdit::copy);
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(view_->textCursor().hasSelection());
    QAction* all =
        menu.addAction(uiText("DebugConsole", "すべて選択"), view_, &QPlainTextEdit::selectAll);
    all->setShortcut(QKeySequence::SelectAll);
    menu.exec(view_->viewport()->mapToGlobal(position));
}

QPlainTextEdit* CDebugConsole::view() const {
    return view_;
}

QString CDebugConsole::text() const {
    return view_->toPlainText();
}

void CDebugConsole::closeEvent(QCloseEvent* event) {
    event->ignore();
}
