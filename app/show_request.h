#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;
class QTimer;

// A second start asks the running copy, over a local stream socket beside the lock file,
// to show its main window: the asker sends "SHOW\n", the running copy shows the window and
// answers "SHOWN\n". The command line's other requests (control_protocol.h) come the same
// way, one line each, and get their reply before the socket closes. Both ends accept only a
// socket of this user's own: the path must be a socket (not a link) owned by the user, and
// the peer's credentials must be the user's.

// Whether path is a socket of this user's own, not reached through a link. why (when
// given) says what is wrong, for a person to read.
bool trustedSocketPath(const std::string& path, std::string* why = nullptr);

// Asks the copy listening at path to show its window; true when it answered within the
// timeout. Blocks the calling thread for at most the timeout.
bool askRunningCopyToShow(const std::string& path, std::chrono::milliseconds timeout);

// Sends one request line to the copy listening at path and reads its reply until the copy
// closes the connection. False when no copy of this user's own answered there in time;
// reply then holds whatever came.
bool askRunningCopy(const std::string& path, const std::string& line,
                    std::chrono::milliseconds timeout, std::string& reply);

// The running copy's end: listens at path and calls show for each show request, and commands
// (when given) for every other line, sending back the reply it returns. No connection holds
// it up: each has a short deadline for its request, and the newest takes the place of the
// oldest when too many wait, so a second start is answered however many others idle.
//
// Ownership: owns the listening socket, the accepted connections and their notifiers, and
// the socket file, which it removes when it goes. Thread: UI thread; show runs there.
class CShowRequestServer : public QObject {
  public:
    using Commands = std::function<std::string(const std::string& line)>;
    explicit CShowRequestServer(std::function<void()> show, Commands commands = {});
    ~CShowRequestServer() override;
    CShowRequestServer(const CShowRequestServer&) = delete;
    CShowRequestServer& operator=(const CShowRequestServer&) = delete;

    // Listens at path. A socket left there by an ended copy is replaced; anything else at
    // the path (a link, a file, another user's socket) is left alone and nothing listens.
    bool listen(const std::string& path, std::string* why = nullptr);
    bool listening() const { return listener_ >= 0; }

  private:
    struct Connection;
    void acceptPending();
    void makeRoom();
    void readFrom(Connection& connection);
    void drop(Connection& connection);

    void answer(Connection& connection, const std::string& reply);

    std::function<void()> show_;
    Commands commands_;
    std::string path_;
    int listener_ = -1;
    unsigned long long inode_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::vector<std::unique_ptr<Connection>> connections_;
};
