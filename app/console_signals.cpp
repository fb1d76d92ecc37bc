#include "app/console_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <utility>

namespace {

constexpr std::array<int, 4> kConsoleSignals{SIGTERM, SIGINT, SIGQUIT, SIGHUP};

std::atomic<int> g_signalWriteFd{-1};

extern "C" void onConsoleSignal(int signal) {
    int savedErrno = errno;
    int fd = g_signalWriteFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        auto byte = static_cast<unsigned char>(signal);
        // A full pipe already holds enough wake-ups; this one may be lost.
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

}  // namespace

CConsoleSignals::CConsoleSignals(ConsoleCtrlHandler handler)
    : handler_([console = std::move(handler)](int signal) { console(eventForSignal(signal)); }),
      signals_(kConsoleSignals.begin(), kConsoleSignals.end()) {}

CConsoleSignals::CConsoleSignals(SignalHandler handler, std::vector<int> caught)
    : handler_(std::move(handler)), signals_(std::move(caught)) {}

void CConsoleSignals::restoreDefaults() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : signals_) {
        sigaction(signal, &action, nullptr);
    }
}

void CConsoleSignals::dieOf(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    // A signal whose default is not to end the process still ends it, with its number.
    _exit(128 + signal);
}

CConsoleSignals::~CConsoleSignals() {
    if (readFd_ < 0) {
        return;
    }
    restoreDefaults();
    notifier_.reset();
    int writeFd = g_signalWriteFd.exchange(-1);
    close(writeFd);
    close(readFd_);
}

bool CConsoleSignals::install() {
    std::array<int, 2> ends{};
    if (readFd_ >= 0 || pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    readFd_ = ends[0];
    g_signalWriteFd.store(ends[1]);
    notifier_ = std::make_unique<QSocketNotifier>(readFd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &CConsoleSignals::onReadable);

    struct sigaction action {};
    action.sa_handler = onConsoleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    bool ok = true;
    for (int signal : signals_) {
        ok = sigaction(signal, &action, nullptr) == 0 && ok;
    }
    return ok;
}

unsigned long CConsoleSignals::eventForSignal(int signal) {
    switch (signal) {
        case SIGINT:
            return CTRL_C_EVENT;
        case SIGQUIT:
            return CTRL_BREAK_EVENT;
        case SIGHUP:
            return CTRL_CLOSE_EVENT;
        default:
            return CTRL_SHUTDOWN_EVENT;
    }
}

void CConsoleSignals::onReadable() {
    std::array<unsigned char, 64> caught{};
    ssize_t got = read(readFd_, caught.data(), caught.size());
    for (ssize_t i = 0; i < got; ++i) {
        handler_(caught[static_cast<std::size_t>(i)]);
    }
}
