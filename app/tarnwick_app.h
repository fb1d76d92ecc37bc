#pragma once

#include <memory>
#include <string>

class CConsoleSignals;
class CDebugConsole;
class CShowRequestServer;
class CTarnwickDlg;
class SocketLoopThread;
class UiTranslations;

// Set to 1 once the debug switch has been seen on the command line.
extern int g_debugMode;

// Makes the main window and runs the program's event loop until the window ends (a window
// ended while it starts ends the run before the loop), then the window's destroy handling.
// The last window closed does not end the loop; only the window's end does. The window's
// result (IDCANCEL after the orderly end).
int runMainWindow(CTarnwickDlg& window);

// The debug mode's SIGHUP: the window reads the settings file again, and the trace says
// what could not be done.
void reloadOnHangUp(CTarnwickDlg& window);

// The application object: its start hook does everything between process start and the
// main window, runs the main window and returns when it has ended.
//
// Without a display every message box answers itself (setAnswerWithoutDisplay) for as long
// as the object lives.
//
// Ownership: owns the socket thread, the translations of the chosen language, and in debug
// mode the console and the signal bridge, all for the rest of the process; knows the main
// window while it runs, which is where console events go and, with a display, where a
// second start's request to show the window goes. Thread: UI thread; make it after
// the QApplication and destroy it before.
class CTarnwickApp {
  public:
    CTarnwickApp();
    virtual ~CTarnwickApp();
    CTarnwickApp(const CTarnwickApp&) = delete;
    CTarnwickApp& operator=(const CTarnwickApp&) = delete;

    // Start-up: 0 after the main window has ended, when sockets could not be started, or
    // when a running copy showed its window at this start's request; -1 when another
    // instance runs and did not answer. A guard that cannot be taken for another reason is
    // reported on standard error and the program starts anyway.
    int InitInstance(int argc, char** argv);

    CDebugConsole* console() const { return console_.get(); }

    // The first lines on the redirected standard output: the banner, the debug line in
    // debug mode, then the executable directory (made current), left without a line end.
    static void announceStart(const char* programPath);

  protected:
    // Brings up the socket layer on its own thread; false when it cannot.
    virtual bool startSockets();

  private:
    void redirectStandardStreams();
    // Stops every port on the socket loop with the grace of an orderly stop, saving nothing.
    void stopRelayingNow();
    // Answers a second start's request to show the window, while the window runs.
    static std::unique_ptr<CShowRequestServer> listenForShowRequests(const std::string& guardName,
                                                                     CTarnwickDlg& window);

    std::unique_ptr<SocketLoopThread> socketThread_;
    std::unique_ptr<CDebugConsole> console_;
    std::unique_ptr<CConsoleSignals> consoleSignals_;
    std::unique_ptr<UiTranslations> translations_;
    CTarnwickDlg* mainDlg_ = nullptr;  // not owned; only while it runs
    bool answeredWithoutDisplay_ = false;
};
