#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

// Console control events, as the console delivers them to the program.
inline constexpr unsigned long CTRL_C_EVENT = 0;
inline constexpr unsigned long CTRL_BREAK_EVENT = 1;
inline constexpr unsigned long CTRL_CLOSE_EVENT = 2;
inline constexpr unsigned long CTRL_LOGOFF_EVENT = 5;
inline constexpr unsigned long CTRL_SHUTDOWN_EVENT = 6;

// Handles a console control event on the UI thread, as the console's control handler does;
// returns 1 when handled.
using ConsoleCtrlHandler = std::function<int(unsigned long event)>;

// Handles a caught signal, by number, on the UI thread.
using SignalHandler = std::function<void(int signal)>;

// The console's control events on Linux: SIGTERM (shutdown or logout), SIGINT (Ctrl+C),
// SIGQUIT (Ctrl+Break) and SIGHUP (console gone) are caught; the signal handler only
// writes the signal's number into a pipe, and a notifier on the UI thread turns each number
// into its event for the handler it was given. Given a list of signals instead, it catches
// those and hands their numbers on as they are.
//
// Ownership: owns the pipe, the notifier and the handler; one instance per process, for the
// rest of it.
// Thread: UI thread.
class CConsoleSignals : public QObject {
    Q_OBJECT

  public:
    explicit CConsoleSignals(ConsoleCtrlHandler handler);
    CConsoleSignals(SignalHandler handler, std::vector<int> caught);
    ~CConsoleSignals() override;

    // Installs the handlers. False when the pipe or a handler could not be set up.
    bool install();

    // The event a caught signal stands for.
    static unsigned long eventForSignal(int signal);

    // Ends the process by the signal's default action, so that its exit status shows it.
    [[noreturn]] static void dieOf(int signal);

  private:
    void onReadable();
    void restoreDefaults();

    SignalHandler handler_;
    std::vector<int> signals_;
    int readFd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};
