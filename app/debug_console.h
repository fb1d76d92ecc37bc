#pragma once

#include <QString>
#include <QStringDecoder>
#include <QWidget>
#include <memory>
#include <mutex>
#include <string>

class QPlainTextEdit;
class CPipeReader;

// The debug console: a window of its own that shows everything written to standard output
// from the moment it is attached, with a bounded scrollback. No dialog's modal run blocks
// it: its text can be scrolled, selected and copied while the program runs, and it follows
// new lines only while its view is at the end.
//
// Standard output is turned into a pipe whose reader thread collects the text; the UI
// thread fetches it in one queued call per batch, so a trace line written on the UI thread
// never waits for the UI thread. The console cannot be closed by the user: it goes away
// with the program, as a console window does.
//
// Ownership: owns its text view and the pipe reader. Thread: UI thread, except that the
// reader thread calls takeChunk.
class CDebugConsole : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kScrollbackLines = 5000;
    // Text waiting for the UI thread beyond this is dropped from its oldest end.
    static constexpr std::size_t kMaxPending = 1 << 20;

    explicit CDebugConsole(const QString& title);
    ~CDebugConsole() override;

    // Sends the descriptor into the console: it is replaced by the write end of a pipe that
    // this console drains. For standard output, also makes the stream line-buffered. False
    // when the pipe or its reader could not be made; the descriptor is then unchanged.
    bool attachDescriptor(int fd);

    // The text shown.
    QString text() const;
    // The read-only view, for selecting, copying and scrolling.
    QPlainTextEdit* view() const;

  private:
    void takeChunk(std::string chunk);
    void showPending();
    // "コピー" and "すべて選択".
    void showContextMenu(const QPoint& position);

    QPlainTextEdit* view_;
    int attachedFd_ = -1;
    std::unique_ptr<CPipeReader> reader_;
    std::mutex mutex_;
    std::string pending_;
    QStringDecoder decoder_{QStringDecoder::Utf8};

  protected:
    void closeEvent(QCloseEvent* event) override;
};
